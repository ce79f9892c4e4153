# Cross build for 32-bit Windows with MinGW-w64 (Debian's i686-w64-mingw32),
# run under Wine.
#
#   scripts/win32/setup.sh        # toolchain, Wine, libcurl (once)
#   cmake -S . -B build-win32 -G Ninja \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-w64-i686.cmake
#
# The libcurl prefix comes from -DKIV_WIN32_PREFIX=..., else the environment
# variable KIV_WIN32_PREFIX, else /opt/kivhttp-win32.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(KIV_MINGW_TRIPLE i686-w64-mingw32)

# The -posix compilers: the default (win32 thread model) ones have no
# std::thread / std::mutex.
set(CMAKE_C_COMPILER   ${KIV_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KIV_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  ${KIV_MINGW_TRIPLE}-windres)
# Binutils: say so explicitly, the "-posix" suffix defeats CMake's guess.
find_program(CMAKE_AR      ${KIV_MINGW_TRIPLE}-ar      REQUIRED)
find_program(CMAKE_RANLIB  ${KIV_MINGW_TRIPLE}-ranlib  REQUIRED)
find_program(CMAKE_NM      ${KIV_MINGW_TRIPLE}-nm)
find_program(CMAKE_OBJDUMP ${KIV_MINGW_TRIPLE}-objdump)
find_program(CMAKE_STRIP   ${KIV_MINGW_TRIPLE}-strip)
find_program(CMAKE_DLLTOOL ${KIV_MINGW_TRIPLE}-dlltool)

# ---- libcurl prefix (built by scripts/win32/setup.sh) ----------------------
if(NOT KIV_WIN32_PREFIX)
  if(DEFINED ENV{KIV_WIN32_PREFIX} AND NOT "$ENV{KIV_WIN32_PREFIX}" STREQUAL "")
    set(KIV_WIN32_PREFIX "$ENV{KIV_WIN32_PREFIX}")
  else()
    set(KIV_WIN32_PREFIX /opt/kivhttp-win32)
  endif()
endif()
set(KIV_WIN32_PREFIX "${KIV_WIN32_PREFIX}" CACHE PATH "Prefix holding the Windows libcurl")
# try_compile projects re-read this file: hand them the same prefix.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KIV_WIN32_PREFIX)

set(CMAKE_FIND_ROOT_PATH /usr/${KIV_MINGW_TRIPLE} "${KIV_WIN32_PREFIX}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# find_package(CURL): point FindCURL at the import library, and keep the
# host's pkg-config (and its libcurl.pc) out of the picture.
if(EXISTS "${KIV_WIN32_PREFIX}/include/curl/curl.h")
  set(CURL_INCLUDE_DIR "${KIV_WIN32_PREFIX}/include" CACHE PATH "libcurl headers (Windows)")
endif()
if(EXISTS "${KIV_WIN32_PREFIX}/lib/libcurl.dll.a")
  set(CURL_LIBRARY "${KIV_WIN32_PREFIX}/lib/libcurl.dll.a" CACHE FILEPATH "libcurl import library (Windows)")
endif()
set(ENV{PKG_CONFIG_LIBDIR} "${KIV_WIN32_PREFIX}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# ---- running what we build: Wine ------------------------------------------
get_filename_component(_kiv_wine_run "${CMAKE_CURRENT_LIST_DIR}/../../scripts/win32/wine-run.sh" ABSOLUTE)
# The prefix goes on the command line, so ctest finds libcurl-4.dll
# whatever its environment.
set(CMAKE_CROSSCOMPILING_EMULATOR "${_kiv_wine_run};--curl-prefix=${KIV_WIN32_PREFIX}")
unset(_kiv_wine_run)

# `cmake --install`: the shared libraries, the public headers, a CMake
# package (find_package(kivHttp) -> kivHttp::kivHttp, and on POSIX
# kivHttp::kivMsgLoop) and a pkg-config file, kivHttp.pc.
#
# The internal static library kivHttpCore is linked into libkivHttp and is
# not part of the package: kivHttp links it privately, so no consumer ever
# sees it.
include(CMakePackageConfigHelpers)

set(KIV_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/kivHttp)
set(kiv_install_targets kivHttp)
set(kiv_install_headers ${PROJECT_SOURCE_DIR}/include/kivHttp.h)
if(TARGET kivMsgLoop)
  list(APPEND kiv_install_targets kivMsgLoop)
  list(APPEND kiv_install_headers ${PROJECT_SOURCE_DIR}/include/kivMsgLoop.h)
endif()

if(NOT WIN32 AND NOT APPLE)
  # Installed side by side: libkivHttp finds libkivMsgLoop next to itself.
  set_target_properties(kivHttp PROPERTIES INSTALL_RPATH "$ORIGIN")
endif()

# DLLs go to bin (RUNTIME), import and static libraries to lib (ARCHIVE),
# shared objects to lib (LIBRARY).
install(TARGETS ${kiv_install_targets} EXPORT kivHttpTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${kiv_install_headers} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# A Windows host ships libcurl's DLL beside kivHttp.dll.
if(WIN32 AND KIV_WIN32_PREFIX AND EXISTS "${KIV_WIN32_PREFIX}/bin/libcurl-4.dll")
  install(FILES "${KIV_WIN32_PREFIX}/bin/libcurl-4.dll" DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

install(EXPORT kivHttpTargets
  NAMESPACE kivHttp::
  FILE kivHttpTargets.cmake
  DESTINATION ${KIV_INSTALL_CMAKEDIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/kivHttpConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/kivHttpConfig.cmake
  INSTALL_DESTINATION ${KIV_INSTALL_CMAKEDIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/kivHttpConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/kivHttpConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/kivHttpConfigVersion.cmake
  DESTINATION ${KIV_INSTALL_CMAKEDIR})

# pkg-config: relocatable (the prefix is found from the .pc file's own
# place), so `cmake --install --prefix` anywhere gives a working file. On
# POSIX a host needs the message-loop library too, so Libs names both.
set(KIV_PC_LIBS "-lkivHttp")
if(TARGET kivMsgLoop)
  string(APPEND KIV_PC_LIBS " -lkivMsgLoop")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  message(FATAL_ERROR "kivHttp.pc wants CMAKE_INSTALL_LIBDIR and CMAKE_INSTALL_INCLUDEDIR "
                      "relative to the prefix")
endif()
file(RELATIVE_PATH KIV_PC_RELATIVE_PREFIX "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
string(REGEX REPLACE "/$" "" KIV_PC_RELATIVE_PREFIX "${KIV_PC_RELATIVE_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/kivHttp.pc.in ${CMAKE_CURRENT_BINARY_DIR}/kivHttp.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kivHttp.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The test that builds a host against the installed package.
if(KIV_BUILD_TESTS AND NOT CMAKE_CROSSCOMPILING AND NOT WIN32)
  add_subdirectory(${PROJECT_SOURCE_DIR}/tests/install ${CMAKE_BINARY_DIR}/tests/install)
endif()

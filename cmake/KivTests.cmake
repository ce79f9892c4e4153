# One GoogleTest executable per layer, built from the *_test.cpp files that
# sit beside that layer's code. White-box tests link the library's internals;
# the api tests see only the exported interface of the shared library.
find_package(GTest REQUIRED)
include(GoogleTest)

# Test files left out of the Windows build (run under Wine), as a pattern:
#   Exports_test.cpp reads the ELF symbol table (nm -D); in its place
#     tests/win32 checks the DLL's export and import tables and imports
#     every export by name and by ordinal;
#   the stress, hostile-server, hostile-host and HTTPS tests run servers of
#     their own inside the test process (cpp-httplib, POSIX sockets) or use
#     POSIX calls directly, which the Windows test support does not offer.
set(KIV_POSIX_ONLY_TESTS
  "/src/api/(Exports|Stress|Hostile[A-Za-z]*|Https[A-Za-z]*)_test\\.cpp$")

function(kiv_layer_test name dir)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${dir}/*_test.cpp)
  if(WIN32)
    list(FILTER sources EXCLUDE REGEX "${KIV_POSIX_ONLY_TESTS}")
  endif()
  if(NOT sources)
    return()
  endif()
  add_executable(${name} ${sources})
  target_link_libraries(${name} PRIVATE ${ARGN} kivTesting GTest::gtest_main)
  # Prefixed with the executable, so `ctest -R <layer>` selects a layer.
  # KIV_TEST_PROPERTIES (testing/) brings the Windows tests their servers.
  gtest_discover_tests(${name} TEST_PREFIX "${name}." DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 180 ${KIV_TEST_PROPERTIES})
endfunction()

if(NOT WIN32)
  kiv_layer_test(msgloop_test src/platform/posix/msgloop kivMsgLoop)
endif()
kiv_layer_test(platform_test src/platform kivHttpCore)
kiv_layer_test(system_test src/System kivHttpCore)
kiv_layer_test(curlstream_test src/CurlStream kivHttpCore)
kiv_layer_test(http_base_test src/Http/Base kivHttpCore)
kiv_layer_test(http_data_test src/Http/Data kivHttpCore)
kiv_layer_test(http_file_test src/Http/File kivHttpCore)
kiv_layer_test(api_test src/api kivHttp)
if(WIN32)
  add_subdirectory(${CMAKE_SOURCE_DIR}/tests/win32 ${CMAKE_BINARY_DIR}/tests/win32)
else()
  target_compile_definitions(api_test PRIVATE KIV_LIBRARY_FILE="$<TARGET_FILE:kivHttp>")
endif()

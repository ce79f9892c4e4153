# One GoogleTest executable per layer, built from the *_test.cpp files that
# sit beside that layer's code. White-box tests link the library's internals;
# the api tests see only the exported interface of the shared library.
find_package(GTest REQUIRED)
include(GoogleTest)

function(kiv_layer_test name dir)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${dir}/*_test.cpp)
  if(NOT sources)
    return()
  endif()
  add_executable(${name} ${sources})
  target_link_libraries(${name} PRIVATE ${ARGN} kivTesting GTest::gtest_main)
  # Prefixed with the executable, so `ctest -R <layer>` selects a layer.
  gtest_discover_tests(${name} TEST_PREFIX "${name}." DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 180)
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
target_compile_definitions(api_test PRIVATE KIV_LIBRARY_FILE="$<TARGET_FILE:kivHttp>")

# Reliability tests that need more than api_test gives: the HTTPS tests run
# against a test CA that the kiv_test_ca fixture adds to the system's trust
# store for the length of the run (as root; scripts/test-ca.sh), and takes
# out again afterwards, also when tests fail. The certificates are made
# fresh in the build tree; nothing secret is committed.
#
# Included from the top-level CMakeLists.txt after cmake/KivTests.cmake.
if(WIN32 OR NOT KIV_BUILD_TESTS)
  return()
endif()

set(KIV_TEST_CA_DIR ${CMAKE_BINARY_DIR}/test-ca)

add_executable(https_test ${CMAKE_SOURCE_DIR}/src/api/https/Https_test.cpp)
target_link_libraries(https_test PRIVATE kivHttp kivTesting GTest::gtest_main)
target_compile_definitions(https_test PRIVATE KIV_TEST_CA_DIR="${KIV_TEST_CA_DIR}")

add_test(NAME https_test.trust_test_ca
  COMMAND ${CMAKE_SOURCE_DIR}/scripts/test-ca.sh setup ${KIV_TEST_CA_DIR})
add_test(NAME https_test.untrust_test_ca
  COMMAND ${CMAKE_SOURCE_DIR}/scripts/test-ca.sh cleanup ${KIV_TEST_CA_DIR})
set_tests_properties(https_test.trust_test_ca PROPERTIES
  FIXTURES_SETUP kiv_test_ca TIMEOUT 120 LABELS https)
set_tests_properties(https_test.untrust_test_ca PROPERTIES
  FIXTURES_CLEANUP kiv_test_ca TIMEOUT 120 LABELS https)
gtest_discover_tests(https_test TEST_PREFIX "https_test." DISCOVERY_TIMEOUT 60
  PROPERTIES TIMEOUT 120 FIXTURES_REQUIRED kiv_test_ca LABELS https)

# How the suites become CTest tests. Every test has a timeout in its own
# definition, so that one that hangs fails under a plain `ctest` too, not
# only under the presets; the limits leave room for a loaded 2-core machine,
# and sanitized builds run several times slower.
include(GoogleTest)

if(KX7FW_SANITIZE OR KX7FW_TSAN)
  set(KX7FW_TEST_TIMEOUT 900)
else()
  set(KX7FW_TEST_TIMEOUT 300)
endif()

# One CTest test per case of a GoogleTest program; PROPERTIES as for
# gtest_discover_tests.
function(kx7fw_discover_tests target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "PROPERTIES")
  gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60
                       PROPERTIES TIMEOUT ${KX7FW_TEST_TIMEOUT} ${arg_PROPERTIES})
endfunction()

# The tests this folder made with add_test get the timeout unless they set
# one of their own. Called at the end of each folder that adds tests.
function(kx7fw_limit_test_times)
  get_property(tests DIRECTORY PROPERTY TESTS)
  foreach(test IN LISTS tests)
    get_test_property(${test} TIMEOUT timeout)
    if(NOT timeout)
      set_tests_properties(${test} PROPERTIES TIMEOUT ${KX7FW_TEST_TIMEOUT})
    endif()
  endforeach()
endfunction()

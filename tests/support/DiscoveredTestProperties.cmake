# gtest_set_tests_properties(<target> <regex> PROPERTIES <name> <value>...)
#
# Sets test properties on those tests of a GoogleTest binary whose ctest names
# match <regex>. With DISCOVERY_MODE PRE_TEST the tests exist only once ctest
# has listed the binary, so set_tests_properties cannot name them here: a
# ctest script, run right after the listing, does it instead (the listing
# leaves the names in <target>_TESTS). Call it after gtest_discover_tests, in
# the same directory. Each value is a single word.
function(gtest_set_tests_properties target regex)
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "" "PROPERTIES")
  if(NOT arg_PROPERTIES OR arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "gtest_set_tests_properties(${target} ${regex} PROPERTIES <name> <value>...)")
  endif()
  set(properties "")
  foreach(word IN LISTS arg_PROPERTIES)
    string(APPEND properties " [==[${word}]==]")
  endforeach()
  string(SHA1 id "${regex}${properties}")
  string(SUBSTRING "${id}" 0 12 id)
  set(script "${CMAKE_CURRENT_BINARY_DIR}/${target}_properties_${id}.cmake")
  file(WRITE "${script}"
    "foreach(test IN LISTS ${target}_TESTS)\n"
    "  if(test MATCHES [==[${regex}]==])\n"
    "    set_tests_properties(\"\${test}\" PROPERTIES${properties})\n"
    "  endif()\n"
    "endforeach()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${script}")
endfunction()

# The tests, included from CMakeLists.txt when GoogleTest is found.
enable_testing()
include(GoogleTest)

file(GLOB_RECURSE DRAYLINE_TEST_SOURCES CONFIGURE_DEPENDS
     tests/*.cc src/*_test.cc tools/*_test.cc)
# draybase's output layer is tested on its own, without the program.
add_executable(drayline_tests ${DRAYLINE_TEST_SOURCES} tools/draybase/output.cc)
target_link_libraries(drayline_tests PRIVATE drayline_lib GTest::gtest GTest::gtest_main)
target_include_directories(drayline_tests PRIVATE src tests tools)
target_compile_definitions(drayline_tests PRIVATE
  DRAYLINE_BIN="$<TARGET_FILE:drayline>"
  DRAYBASE_BIN="$<TARGET_FILE:draybase>")
add_dependencies(drayline_tests drayline draybase)
gtest_discover_tests(drayline_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)

set(DRAYLINE_SCRIPTS "${CMAKE_CURRENT_SOURCE_DIR}/scripts")

# Programs written against the public headers alone.
add_executable(list_and_reply examples/list_and_reply.cc)
target_link_libraries(list_and_reply PRIVATE drayline_lib)

# The example lists and replies on a board that draybase makes and
# drayline posts into.
add_test(NAME example_list_and_reply
         COMMAND "${DRAYLINE_SCRIPTS}/example_test.sh"
                 $<TARGET_FILE:draybase> $<TARGET_FILE:drayline>
                 $<TARGET_FILE:list_and_reply>
                 "${CMAKE_CURRENT_BINARY_DIR}/example_test")
set_tests_properties(example_list_and_reply PROPERTIES TIMEOUT 120)

# The tests below check what is built and installed rather than code, so the
# plain build runs them alone. The install test could not work under the
# sanitizers anyway: the installed library carries their instrumentation,
# which a consumer built the ordinary way cannot link.
if(DRAYLINE_SANITIZE)
  return()
endif()

# Installs into a scratch prefix, builds the example against the installed
# package (CMake and pkg-config) and runs it with the installed programs.
add_test(NAME install_and_use
         COMMAND "${DRAYLINE_SCRIPTS}/install_test.sh" "${CMAKE_CURRENT_BINARY_DIR}"
                 "${CMAKE_CURRENT_SOURCE_DIR}" "${CMAKE_CURRENT_BINARY_DIR}/install_test")
set_tests_properties(install_and_use PROPERTIES TIMEOUT 600)

# The manual pages: groff finds nothing to warn about, and they describe
# every command and option draybase lists.
add_test(NAME man_pages
         COMMAND "${DRAYLINE_SCRIPTS}/man_test.sh" "${CMAKE_CURRENT_SOURCE_DIR}/man"
                 $<TARGET_FILE:draybase>)
set_tests_properties(man_pages PROPERTIES TIMEOUT 60)

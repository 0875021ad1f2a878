# Further suites included by tests/CMakeLists.txt. The command-line tool's tests run the built
# quillmark program as a user would.
if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/../tools/CMakeLists.txt AND TARGET quillmark_static)
  add_executable(qm_cli_tests ${CMAKE_CURRENT_SOURCE_DIR}/tools/cli_test.cpp)
  target_include_directories(qm_cli_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/../tools)
  # The static form of the C interface writes a file that this process keeps open.
  target_link_libraries(qm_cli_tests PRIVATE quillmark_static qm_test_support GTest::gtest_main)
  gtest_discover_tests(qm_cli_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 600)
endif()

# ---- C interface: a C host over the shared library, the export of its files, the export list ----
# The unit tests call the exported functions in their own process.
target_link_libraries(qm_unit_tests PRIVATE quillmark_static)

add_executable(qm_c_host ${CMAKE_CURRENT_SOURCE_DIR}/api/c_host.c)
set_source_files_properties(${CMAKE_CURRENT_SOURCE_DIR}/api/c_host.c PROPERTIES LANGUAGE C)
set_target_properties(qm_c_host PROPERTIES C_STANDARD 99 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF)
target_link_libraries(qm_c_host PRIVATE quillmark)

set(QM_C_HOST_DIR ${CMAKE_CURRENT_BINARY_DIR}/c_host_out)
add_test(NAME qm_c_host_prepare COMMAND ${CMAKE_COMMAND} -E make_directory ${QM_C_HOST_DIR})
set_tests_properties(qm_c_host_prepare PROPERTIES FIXTURES_SETUP qm_c_host_dir)
add_test(NAME qm_c_host COMMAND qm_c_host ${QM_C_HOST_DIR})
set_tests_properties(qm_c_host PROPERTIES FIXTURES_REQUIRED qm_c_host_dir FIXTURES_SETUP qm_c_host_files)
add_test(NAME qm_c_host_verify COMMAND qm_cli_tests --gtest_filter=CHostOutput.*)
set_tests_properties(qm_c_host_verify PROPERTIES FIXTURES_REQUIRED qm_c_host_files
  ENVIRONMENT QM_C_HOST_DIR=${QM_C_HOST_DIR})

# The shared library exports exactly the C interface (ELF symbol tables).
if(UNIX AND NOT APPLE)
  add_test(NAME qm_exports COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/api/check_exports.sh $<TARGET_FILE:quillmark>
           ${PROJECT_SOURCE_DIR}/include/quillmark/quillmark.h)
endif()

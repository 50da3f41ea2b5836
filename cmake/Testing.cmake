# Test helpers shared by every folder's tests.
find_package(GTest REQUIRED)
include(GoogleTest)

add_library(vyr_test_support STATIC ${PROJECT_SOURCE_DIR}/tests/support/temp_device.cpp)
target_include_directories(vyr_test_support PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(vyr_test_support PUBLIC VYRDevice GTest::gtest PRIVATE vyr_warnings)

# End-to-end tests run the vyr binary of this build as a separate process.
add_library(vyr_e2e_support STATIC ${PROJECT_SOURCE_DIR}/tests/support/vyr_process.cpp)
target_include_directories(vyr_e2e_support PUBLIC ${PROJECT_SOURCE_DIR})
target_compile_definitions(vyr_e2e_support PRIVATE VYR_BINARY="$<TARGET_FILE:vyr>")
target_link_libraries(vyr_e2e_support PUBLIC GTest::gtest PRIVATE vyr_warnings)

# A GoogleTest executable. Each test case runs in a process of its own, so that load-time state
# (installed hooks, settings, registered classes) starts fresh for each. Label "concurrency"
# marks the tests that the ThreadSanitizer job runs.
function(vyr_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LINK;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LINK} vyr_test_support GTest::gtest_main vyr_warnings)
  # A process that joins a device starts the device's supervisor, built beside the library.
  add_dependencies(${name} vyr-launchd)
  # Every malformed or hostile input file lives in one folder.
  target_compile_definitions(${name} PRIVATE
                             VYR_HOSTILE_DATA="${PROJECT_SOURCE_DIR}/tests/hostile")
  # One label per test: a list here would be split into separate properties.
  set(label unit)
  if(T_LABELS)
    set(label ${T_LABELS})
  endif()
  # Tests are listed when ctest runs, in ctest's environment (the sanitizer options included),
  # rather than by running every test binary at build time.
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 DISCOVERY_MODE PRE_TEST
                       PROPERTIES LABELS ${label})
endfunction()

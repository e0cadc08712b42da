# Settings reader, command-line layer and tool runner.

# The stand-in tool the runner tests start (plain C++, no Qt, so it starts fast).
add_executable(fakecmd fakecmd/fakecmd.cpp fakecmd/pattern.h)

ranupa_add_test(test_settings SOURCES test_settings.cpp LIBS ranupa_core)

ranupa_add_test(test_toolrunner SOURCES test_toolrunner.cpp fakecmd/pattern.h LIBS ranupa_core)
target_include_directories(test_toolrunner PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/fakecmd)
target_compile_definitions(test_toolrunner PRIVATE FAKECMD_PATH="$<TARGET_FILE:fakecmd>")
add_dependencies(test_toolrunner fakecmd)
# Collects a few hundred MB of output.
set_tests_properties(test_toolrunner PROPERTIES TIMEOUT 120)

# The real psql against a server that demands a password: must fail at once, not wait for input.
if(NOT DEFINED RANUPA_PASSWORD_CLUSTER_DIR)
    set(RANUPA_PASSWORD_CLUSTER_DIR ${CMAKE_BINARY_DIR}/pgcluster/password)
endif()
ranupa_add_test(test_toolrunner_db SOURCES test_toolrunner_db.cpp testcluster.h LIBS ranupa_core)
set_tests_properties(test_toolrunner_db PROPERTIES
    FIXTURES_REQUIRED pgcluster_password
    RESOURCE_LOCK pendataan
    TIMEOUT 60
    ENVIRONMENT "${RANUPA_TEST_ENV};RANUPA_PASSWORD_CLUSTER_DIR=${RANUPA_PASSWORD_CLUSTER_DIR}")

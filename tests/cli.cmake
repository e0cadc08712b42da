# The unattended mode, tested through the built program against the throwaway cluster.
ranupa_add_test(test_cli SOURCES test_cli.cpp testcluster.h LIBS ranupa_cli)
set_tests_properties(test_cli PROPERTIES
    FIXTURES_REQUIRED pgcluster
    RESOURCE_LOCK pendataan
    TIMEOUT 300
    ENVIRONMENT "${RANUPA_TEST_ENV};RANUPA_CLUSTER_DIR=${RANUPA_CLUSTER_DIR};RANUPA_EXECUTABLE=$<TARGET_FILE:ranupa-helper>")

# The daily schedule (its definitions run as written, and offered after a window backup) and the
# history of runs; the crontab and systemctl stand-ins keep the user's own out of reach.
ranupa_add_test(test_schedule SOURCES test_schedule.cpp modalhelper.h testcluster.h testhome.h
    LIBS ranupa_gui)
target_compile_definitions(test_schedule PRIVATE FAKECMD_PATH="$<TARGET_FILE:fakecmd>"
    FAKECRONTAB_PATH="$<TARGET_FILE:fakecrontab>")
add_dependencies(test_schedule fakecmd fakecrontab ranupa-helper)
ranupa_add_test(test_history SOURCES test_history.cpp testcluster.h testhome.h LIBS ranupa_core)
add_dependencies(test_history ranupa-helper)
set_tests_properties(test_schedule test_history PROPERTIES
    FIXTURES_REQUIRED pgcluster
    RESOURCE_LOCK pendataan
    TIMEOUT 300
    ENVIRONMENT "${RANUPA_TEST_ENV};RANUPA_CLUSTER_DIR=${RANUPA_CLUSTER_DIR};RANUPA_EXECUTABLE=$<TARGET_FILE:ranupa-helper>")

# The unattended mode, tested through the built program against the throwaway cluster.
ranupa_add_test(test_cli SOURCES test_cli.cpp testcluster.h LIBS ranupa_cli)
set_tests_properties(test_cli PROPERTIES
    FIXTURES_REQUIRED pgcluster
    RESOURCE_LOCK pendataan
    TIMEOUT 300
    ENVIRONMENT "${RANUPA_TEST_ENV};RANUPA_CLUSTER_DIR=${RANUPA_CLUSTER_DIR};RANUPA_EXECUTABLE=$<TARGET_FILE:ranupa-helper>")

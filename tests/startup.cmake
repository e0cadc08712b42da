# How the program starts: its options, where it finds the installation, its screens and language.
ranupa_add_test(test_startup SOURCES test_startup.cpp testcluster.h LIBS ranupa_cli)
set_tests_properties(test_startup PROPERTIES
    FIXTURES_REQUIRED pgcluster
    RESOURCE_LOCK pendataan
    TIMEOUT 180
    ENVIRONMENT "${RANUPA_TEST_ENV};RANUPA_CLUSTER_DIR=${RANUPA_CLUSTER_DIR};RANUPA_EXECUTABLE=$<TARGET_FILE:ranupa-helper>")

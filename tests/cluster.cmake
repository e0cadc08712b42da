# Throwaway PostgreSQL clusters for the tests that need a real server: `pgcluster` admits
# postgres without a password and holds the demo pendataan; `pgcluster_password` wants one;
# `pgcluster_latin1` is an empty server initialised with LATIN1 and the C locale;
# `pgcluster_disk` is like `pgcluster` with its data on a small disk of its own, for the tests
# that fill that disk or stop the server; `pgcluster_shared` is like `pgcluster`, for the tests
# of a server shared with others, which rename and replace pendataan at will.
set(RANUPA_CLUSTER_DIR ${CMAKE_BINARY_DIR}/pgcluster/trust)
set(RANUPA_PASSWORD_CLUSTER_DIR ${CMAKE_BINARY_DIR}/pgcluster/password)
set(RANUPA_LATIN1_CLUSTER_DIR ${CMAKE_BINARY_DIR}/pgcluster/latin1)
set(RANUPA_DISK_CLUSTER_DIR ${CMAKE_BINARY_DIR}/pgcluster/disk)
set(RANUPA_SHARED_CLUSTER_DIR ${CMAKE_BINARY_DIR}/pgcluster/shared)
set(RANUPA_PGCLUSTER ${PROJECT_SOURCE_DIR}/scripts/pgcluster)

# Adds the start and stop tests of one cluster as the setup and cleanup of `fixture`.
function(ranupa_add_cluster_fixture prefix fixture dir)
    add_test(NAME ${prefix}_start COMMAND ${RANUPA_PGCLUSTER} start ${dir} ${ARGN})
    add_test(NAME ${prefix}_stop COMMAND ${RANUPA_PGCLUSTER} stop ${dir})
    set_tests_properties(${prefix}_start PROPERTIES FIXTURES_SETUP ${fixture} TIMEOUT 120)
    set_tests_properties(${prefix}_stop PROPERTIES FIXTURES_CLEANUP ${fixture} TIMEOUT 60)
endfunction()

ranupa_add_cluster_fixture(cluster pgcluster ${RANUPA_CLUSTER_DIR} --auth trust --demo)
ranupa_add_cluster_fixture(cluster_password pgcluster_password ${RANUPA_PASSWORD_CLUSTER_DIR}
    --auth password --demo)
ranupa_add_cluster_fixture(cluster_latin1 pgcluster_latin1 ${RANUPA_LATIN1_CLUSTER_DIR}
    --auth trust --encoding LATIN1 --locale C)
ranupa_add_cluster_fixture(cluster_disk pgcluster_disk ${RANUPA_DISK_CLUSTER_DIR}
    --auth trust --demo --data-disk 192m)
ranupa_add_cluster_fixture(cluster_shared pgcluster_shared ${RANUPA_SHARED_CLUSTER_DIR}
    --auth trust --demo)

ranupa_add_test(test_cluster SOURCES test_cluster.cpp testcluster.h LIBS Qt6::Core)
set_tests_properties(test_cluster PROPERTIES
    FIXTURES_REQUIRED "pgcluster;pgcluster_password"
    RESOURCE_LOCK pendataan
    TIMEOUT 120
    ENVIRONMENT "${RANUPA_TEST_ENV};RANUPA_CLUSTER_DIR=${RANUPA_CLUSTER_DIR};RANUPA_PASSWORD_CLUSTER_DIR=${RANUPA_PASSWORD_CLUSTER_DIR}")

# Backup and restore: the command lines, the backup file check, and the operations against
# the throwaway clusters.
ranupa_add_test(test_operation_commands SOURCES test_operation_commands.cpp LIBS ranupa_core)
ranupa_add_test(test_archivecheck SOURCES test_archivecheck.cpp archivetesting.h
    LIBS ranupa_core)
ranupa_add_test(test_archivetoc SOURCES test_archivetoc.cpp LIBS ranupa_core)
ranupa_add_test(test_failurecause SOURCES test_failurecause.cpp LIBS ranupa_core)
ranupa_add_test(test_retention SOURCES test_retention.cpp LIBS ranupa_core)
ranupa_add_test(test_progress SOURCES test_progress.cpp LIBS ranupa_core)
ranupa_add_test(test_archivedatabase SOURCES test_archivedatabase.cpp LIBS ranupa_core)
set_tests_properties(test_operation_commands test_archivecheck test_archivetoc test_archivedatabase
    PROPERTIES TIMEOUT 60)

# What a backup leaves in its folder, whatever happens to it, and how far it has come.
ranupa_add_test(test_backup SOURCES test_backup.cpp testcluster.h LIBS ranupa_core)
add_dependencies(test_backup ranupa-helper)
set_tests_properties(test_backup PROPERTIES
    FIXTURES_REQUIRED pgcluster
    RESOURCE_LOCK pendataan
    TIMEOUT 180
    ENVIRONMENT "${RANUPA_TEST_ENV};RANUPA_CLUSTER_DIR=${RANUPA_CLUSTER_DIR};RANUPA_EXECUTABLE=$<TARGET_FILE:ranupa-helper>")

ranupa_add_test(test_backup_restore SOURCES test_backup_restore.cpp archivetesting.h testcluster.h
    LIBS ranupa_core)
set_tests_properties(test_backup_restore PROPERTIES
    FIXTURES_REQUIRED "pgcluster;pgcluster_password"
    RESOURCE_LOCK pendataan
    TIMEOUT 240
    ENVIRONMENT "${RANUPA_TEST_ENV};RANUPA_CLUSTER_DIR=${RANUPA_CLUSTER_DIR};RANUPA_PASSWORD_CLUSTER_DIR=${RANUPA_PASSWORD_CLUSTER_DIR}")

# The file a restore reads: its private copy, or the file itself where the temp folder has no
# room for one.
ranupa_add_test(test_restore_copy SOURCES test_restore_copy.cpp testcluster.h LIBS ranupa_core)
set_tests_properties(test_restore_copy PROPERTIES
    FIXTURES_REQUIRED pgcluster
    RESOURCE_LOCK pendataan
    TIMEOUT 180
    ENVIRONMENT "${RANUPA_TEST_ENV};RANUPA_CLUSTER_DIR=${RANUPA_CLUSTER_DIR}")

# Trial restores beside pendataan, and the progress of a backup with its trial.
ranupa_add_test(test_verify SOURCES test_verify.cpp archivetesting.h testcluster.h
    LIBS ranupa_core)
set_tests_properties(test_verify PROPERTIES
    FIXTURES_REQUIRED pgcluster
    RESOURCE_LOCK pendataan
    TIMEOUT 300
    ENVIRONMENT "${RANUPA_TEST_ENV};RANUPA_CLUSTER_DIR=${RANUPA_CLUSTER_DIR}")

# The database itself comes back as it was backed up, onto servers of other encodings too, and
# statements smuggled into a backup never run.
ranupa_add_test(test_restore_database SOURCES test_restore_database.cpp testcluster.h
    LIBS ranupa_core)
set_tests_properties(test_restore_database PROPERTIES
    FIXTURES_REQUIRED "pgcluster;pgcluster_latin1"
    RESOURCE_LOCK pendataan
    TIMEOUT 240
    ENVIRONMENT "${RANUPA_TEST_ENV};RANUPA_CLUSTER_DIR=${RANUPA_CLUSTER_DIR};RANUPA_LATIN1_CLUSTER_DIR=${RANUPA_LATIN1_CLUSTER_DIR}")

# A restore that fails, is cancelled, loses its server or its program half-way never costs the
# previous pendataan; one backup or restore at a time. On a cluster of its own, since it fills
# that cluster's disk and stops its server.
ranupa_add_test(test_restore_safety SOURCES test_restore_safety.cpp archivetesting.h testcluster.h
    LIBS ranupa_core)
set_tests_properties(test_restore_safety PROPERTIES
    FIXTURES_REQUIRED pgcluster_disk
    TIMEOUT 300
    ENVIRONMENT "${RANUPA_TEST_ENV};RANUPA_DISK_CLUSTER_DIR=${RANUPA_DISK_CLUSTER_DIR};RANUPA_EXECUTABLE=$<TARGET_FILE:ranupa-helper>;RANUPA_PGCLUSTER=${RANUPA_PGCLUSTER}")

# Another copy of the program, the application writing during a load, hostile client
# surroundings and foreign databases under the program's names: on a cluster of its own, since it
# renames and replaces pendataan at will.
ranupa_add_test(test_shared_server SOURCES test_shared_server.cpp testcluster.h
    LIBS ranupa_core)
add_dependencies(test_shared_server ranupa-helper) # runs the program itself
set_tests_properties(test_shared_server PROPERTIES
    FIXTURES_REQUIRED pgcluster_shared
    TIMEOUT 300
    ENVIRONMENT "${RANUPA_TEST_ENV};RANUPA_SHARED_CLUSTER_DIR=${RANUPA_SHARED_CLUSTER_DIR};RANUPA_EXECUTABLE=$<TARGET_FILE:ranupa-helper>;RANUPA_PGCLUSTER=${RANUPA_PGCLUSTER}")

ranupa_add_test(test_mainwindow SOURCES test_mainwindow.cpp modalhelper.h LIBS ranupa_gui)
ranupa_add_test(test_datautility SOURCES test_datautility.cpp modalhelper.h testhome.h
    LIBS ranupa_gui)
target_compile_definitions(test_datautility PRIVATE FAKECRONTAB_PATH="$<TARGET_FILE:fakecrontab>")
add_dependencies(test_datautility fakecrontab)
set_tests_properties(test_mainwindow test_datautility PROPERTIES TIMEOUT 120)

ranupa_add_test(test_gui_operations SOURCES test_gui_operations.cpp modalhelper.h testcluster.h
    LIBS ranupa_gui)
set_tests_properties(test_gui_operations PROPERTIES
    FIXTURES_REQUIRED pgcluster
    RESOURCE_LOCK pendataan
    TIMEOUT 300
    ENVIRONMENT "${RANUPA_TEST_ENV};RANUPA_CLUSTER_DIR=${RANUPA_CLUSTER_DIR}")


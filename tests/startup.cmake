# How the program starts: its options, where it finds the installation, its screens and language.
ranupa_add_test(test_startup SOURCES test_startup.cpp testcluster.h LIBS ranupa_cli)
set_tests_properties(test_startup PROPERTIES
    FIXTURES_REQUIRED pgcluster
    RESOURCE_LOCK pendataan
    TIMEOUT 180
    ENVIRONMENT "${RANUPA_TEST_ENV};RANUPA_CLUSTER_DIR=${RANUPA_CLUSTER_DIR};RANUPA_EXECUTABLE=$<TARGET_FILE:ranupa-helper>")

# The windows on a small screen, and at twice the scale on a common laptop screen, both with a
# large font. The offscreen platform reads its screens from a file.
ranupa_add_test(test_screens SOURCES test_screens.cpp modalhelper.h testhome.h LIBS ranupa_gui)
target_compile_definitions(test_screens PRIVATE FAKECRONTAB_PATH="$<TARGET_FILE:fakecrontab>")
add_dependencies(test_screens fakecrontab)
set_tests_properties(test_screens PROPERTIES
    TIMEOUT 120
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen:configfile=${CMAKE_CURRENT_SOURCE_DIR}/screens/small.json;${RANUPA_HOME_ENV}")
add_test(NAME test_screens_double_scale COMMAND test_screens)
set_tests_properties(test_screens_double_scale PROPERTIES
    TIMEOUT 120
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen:configfile=${CMAKE_CURRENT_SOURCE_DIR}/screens/laptop.json;QT_SCALE_FACTOR=2;${RANUPA_HOME_ENV}")

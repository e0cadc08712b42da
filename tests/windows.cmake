# The Windows program under Wine: the zip that scripts/windows made, laid out in an installation
# folder as a school has it, against a Linux cluster of its own on localhost. Registered when
# RANUPA_WINDOWS_BUILD_DIR names that script's build folder, as scripts/test does.
set(RANUPA_WINDOWS_BUILD_DIR "" CACHE PATH "Build folder of scripts/windows, for the tests under Wine")
if(NOT RANUPA_WINDOWS_BUILD_DIR)
    return()
endif()

set(RANUPA_WINDOWS_CLUSTER_DIR ${CMAKE_BINARY_DIR}/pgcluster/windows)
set(RANUPA_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine/prefix)
set(RANUPA_WINERUN ${CMAKE_CURRENT_SOURCE_DIR}/windows/winerun)
ranupa_add_cluster_fixture(cluster_windows pgcluster_windows ${RANUPA_WINDOWS_CLUSTER_DIR}
    --auth trust --demo)
add_test(NAME wine_prefix COMMAND ${RANUPA_WINERUN} prefix ${RANUPA_WINE_PREFIX})
set_tests_properties(wine_prefix PROPERTIES FIXTURES_SETUP wine TIMEOUT 300)

set(windows_env
    "RANUPA_WINDOWS_BUILD_DIR=${RANUPA_WINDOWS_BUILD_DIR}"
    "RANUPA_WINDOWS_CLUSTER_DIR=${RANUPA_WINDOWS_CLUSTER_DIR}")

# The command line, each Windows-only path, and the failures with their causes: one test each, so
# that scripts/test can run again just one that met Wine's hang at a program's exit.
qt_add_executable(test_windows test_windows.cpp testcluster.h)
target_link_libraries(test_windows PRIVATE Qt6::Test)
set(windows_tests)
foreach(function zipHoldsWhatASchoolNeeds helpReadsInIndonesian
        roundTripThroughFoldersWithSpacesAndAccents failuresSayTheirCause consoleStopsCancelSafely
        toolsStartHiddenFromTheProgramsFolder)
    add_test(NAME test_windows_${function} COMMAND ${RANUPA_WINERUN} run ${RANUPA_WINE_PREFIX}
        $<TARGET_FILE:test_windows> ${function})
    list(APPEND windows_tests test_windows_${function})
endforeach()

# The windows, driven from the keyboard; their pictures are kept in wine/screenshots.
add_test(NAME test_windows_gui COMMAND ${RANUPA_WINERUN} run ${RANUPA_WINE_PREFIX}
    ${CMAKE_CURRENT_SOURCE_DIR}/windows/test-windows-gui ${CMAKE_BINARY_DIR}/wine/screenshots)

# One at a time: they share the prefix and the server.
set_tests_properties(${windows_tests} test_windows_gui PROPERTIES
    FIXTURES_REQUIRED "wine;pgcluster_windows"
    RESOURCE_LOCK wine
    TIMEOUT 400
    ENVIRONMENT "${windows_env}")

# Installs the build into PREFIX and checks that everything a desktop needs is there.
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${PREFIX}"
    RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "cmake --install failed: ${result}")
endif()
set(expected
    bin/ranupa-helper
    share/applications/ranupa-helper.desktop
    share/icons/hicolor/16x16/apps/ranupa-helper.png
    share/icons/hicolor/32x32/apps/ranupa-helper.png
    share/icons/hicolor/48x48/apps/ranupa-helper.png)
foreach(path IN LISTS expected)
    if(NOT EXISTS "${PREFIX}/${path}")
        message(FATAL_ERROR "missing after install: ${path}")
    endif()
endforeach()
file(STRINGS "${PREFIX}/share/applications/ranupa-helper.desktop" exec REGEX "^Exec=")
if(NOT exec STREQUAL "Exec=ranupa-helper")
    message(FATAL_ERROR "desktop entry runs '${exec}'")
endif()

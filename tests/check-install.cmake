# Installs the build into PREFIX and checks that everything a desktop needs is there: the program,
# its icons up to 256 px and a desktop entry that starts it in APPLICATION_DIR (the build's
# RANUPA_APPLICATION_DIR). Then configures SOURCE_DIR afresh with an application directory, to
# see that the option reaches the entry. DESKTOP_FILE_VALIDATE, when set, checks the entry too.
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${PREFIX}"
    RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "cmake --install failed: ${result}")
endif()
if(NOT EXISTS "${PREFIX}/bin/ranupa-helper")
    message(FATAL_ERROR "missing after install: bin/ranupa-helper")
endif()

# Every icon is a PNG of the size its directory names.
foreach(size 16 32 48 64 128 256)
    set(icon "${PREFIX}/share/icons/hicolor/${size}x${size}/apps/ranupa-helper.png")
    if(NOT EXISTS "${icon}")
        message(FATAL_ERROR "missing after install: ${icon}")
    endif()
    file(READ "${icon}" header OFFSET 16 LIMIT 8 HEX)
    string(SUBSTRING "${header}" 0 8 width)
    string(SUBSTRING "${header}" 8 8 height)
    math(EXPR width "0x${width}")
    math(EXPR height "0x${height}")
    if(NOT width EQUAL size OR NOT height EQUAL size)
        message(FATAL_ERROR "${icon} is ${width}x${height}")
    endif()
endforeach()

# The keys of a desktop entry's main group, as KEY_<name> variables.
function(read_desktop_entry file)
    file(STRINGS "${file}" lines)
    foreach(line IN LISTS lines)
        if(line MATCHES "^([A-Za-z]+)=(.*)$")
            set(KEY_${CMAKE_MATCH_1} "${CMAKE_MATCH_2}" PARENT_SCOPE)
        endif()
    endforeach()
endfunction()

set(entry "${PREFIX}/share/applications/ranupa-helper.desktop")
if(NOT EXISTS "${entry}")
    message(FATAL_ERROR "missing after install: share/applications/ranupa-helper.desktop")
endif()
read_desktop_entry("${entry}")
if(NOT KEY_Exec STREQUAL "ranupa-helper" OR NOT KEY_Icon STREQUAL "ranupa-helper")
    message(FATAL_ERROR "desktop entry runs '${KEY_Exec}' with icon '${KEY_Icon}'")
endif()
foreach(key Name GenericName Comment)
    if(KEY_${key} STREQUAL "")
        message(FATAL_ERROR "desktop entry without ${key}")
    endif()
endforeach()
# Exactly one of the main categories, so that menus list it in one place.
set(main_categories AudioVideo Audio Video Development Education Game Graphics Network Office
    Science Settings System Utility)
string(REPLACE ";" "|" main_pattern "${main_categories}")
string(REGEX MATCHALL "(^|;)(${main_pattern});" mains "${KEY_Categories}")
list(LENGTH mains main_count)
if(NOT main_count EQUAL 1)
    message(FATAL_ERROR "desktop entry has ${main_count} main categories: ${KEY_Categories}")
endif()
if(NOT "${KEY_Path}" STREQUAL "${APPLICATION_DIR}")
    message(FATAL_ERROR "desktop entry starts in '${KEY_Path}', not in '${APPLICATION_DIR}'")
endif()
if(DESKTOP_FILE_VALIDATE)
    execute_process(COMMAND ${DESKTOP_FILE_VALIDATE} "${entry}"
        RESULT_VARIABLE result OUTPUT_VARIABLE complaints ERROR_VARIABLE complaints)
    if(NOT result EQUAL 0 OR complaints MATCHES "(error|warning):")
        message(FATAL_ERROR "desktop-file-validate: ${complaints}")
    endif()
endif()

# The option reaches the entry: configure the sources afresh with an application directory.
set(configured "${PREFIX}-configured")
set(application_dir "/opt/Sekolah Ranupa")
file(REMOVE_RECURSE "${configured}")
execute_process(COMMAND ${CMAKE_COMMAND} -S "${SOURCE_DIR}" -B "${configured}" -G "${GENERATOR}"
        -DBUILD_TESTING=OFF "-DRANUPA_APPLICATION_DIR=${application_dir}"
    RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "configuring with RANUPA_APPLICATION_DIR failed: ${result}")
endif()
unset(KEY_Path)
read_desktop_entry("${configured}/app/ranupa-helper.desktop")
file(REMOVE_RECURSE "${configured}")
if(NOT "${KEY_Path}" STREQUAL "${application_dir}")
    message(FATAL_ERROR "RANUPA_APPLICATION_DIR gave Path='${KEY_Path}'")
endif()

# Checks on the project itself rather than on the program's behaviour.

# The Windows resources cannot be built into a program here, but they can be compiled, which
# catches a broken version block or a missing icon.
find_program(RANUPA_WINDRES x86_64-w64-mingw32-windres)
if(RANUPA_WINDRES)
    add_test(NAME windows_resources
        COMMAND ${RANUPA_WINDRES} --preprocessor=cpp -I ${PROJECT_SOURCE_DIR}/app
                ${PROJECT_SOURCE_DIR}/app/ranupa-helper.rc -O coff
                -o ${CMAKE_CURRENT_BINARY_DIR}/ranupa-helper-res.o)
endif()

find_program(RANUPA_CLANG_FORMAT clang-format)
if(RANUPA_CLANG_FORMAT)
    file(GLOB_RECURSE RANUPA_SOURCES CONFIGURE_DEPENDS
        ${PROJECT_SOURCE_DIR}/app/*.cpp ${PROJECT_SOURCE_DIR}/app/*.h
        ${PROJECT_SOURCE_DIR}/tests/*.cpp ${PROJECT_SOURCE_DIR}/tests/*.h
        ${PROJECT_SOURCE_DIR}/bench/*.cpp)
    add_test(NAME code_format
        COMMAND ${RANUPA_CLANG_FORMAT} --dry-run --Werror ${RANUPA_SOURCES})
endif()

# The installed tree holds the program, its icons and its desktop entry.
find_program(RANUPA_DESKTOP_FILE_VALIDATE desktop-file-validate)
add_test(NAME install_tree
    COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${CMAKE_BINARY_DIR}
            -DPREFIX=${CMAKE_CURRENT_BINARY_DIR}/install-check
            -DSOURCE_DIR=${PROJECT_SOURCE_DIR} -DGENERATOR=${CMAKE_GENERATOR}
            -DAPPLICATION_DIR=${RANUPA_APPLICATION_DIR}
            -DDESKTOP_FILE_VALIDATE=${RANUPA_DESKTOP_FILE_VALIDATE}
            -P ${CMAKE_CURRENT_SOURCE_DIR}/check-install.cmake)
set_tests_properties(install_tree PROPERTIES TIMEOUT 120)

# The engine is shared by the windows, the command line, the tests and the benchmarks, and must
# build and run without a display: no widget or GUI header may creep into it.
add_test(NAME core_is_display_free
    COMMAND ${CMAKE_COMMAND} -DCORE_DIR=${PROJECT_SOURCE_DIR}/app/core
            -P ${CMAKE_CURRENT_SOURCE_DIR}/check-core.cmake)

# The glossary holds in the program's own texts, and the guide quotes them as they are.
ranupa_add_test(test_texts SOURCES test_texts.cpp)
target_compile_definitions(test_texts PRIVATE RANUPA_SOURCE_DIR="${PROJECT_SOURCE_DIR}")

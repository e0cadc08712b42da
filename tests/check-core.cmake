# Fails when a file of the engine (CORE_DIR) includes a Qt Widgets or Qt Gui header.
file(GLOB_RECURSE sources "${CORE_DIR}/*.h" "${CORE_DIR}/*.cpp")
foreach(source IN LISTS sources)
    file(STRINGS "${source}" hits REGEX "#include.*(QtWidgets|QtGui|QWidget|QDialog|QApplication|QGuiApplication)")
    if(hits)
        message(FATAL_ERROR "${source} needs a display: ${hits}")
    endif()
endforeach()

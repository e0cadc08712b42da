ranupa_add_test(test_mainwindow SOURCES test_mainwindow.cpp modalhelper.h LIBS ranupa_gui)
ranupa_add_test(test_datautility SOURCES test_datautility.cpp modalhelper.h LIBS ranupa_gui)
set_tests_properties(test_mainwindow test_datautility PROPERTIES TIMEOUT 120)

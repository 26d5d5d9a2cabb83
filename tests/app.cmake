talvane_add_test(test_engine SOURCES test_engine.cpp support/panelfixture.h LIBS talvane_app talvane_testsupport)
talvane_add_test(test_mainwindow SOURCES test_mainwindow.cpp support/panelfixture.h LIBS talvane_app talvane_testsupport)
talvane_add_test(test_generalpage SOURCES test_generalpage.cpp support/panelfixture.h LIBS talvane_app talvane_testsupport)
talvane_add_test(test_e2e_serial SOURCES test_e2e_serial.cpp support/simbench.h support/panelfixture.h LIBS talvane_app talvane_sim talvane_testsupport)

talvane_add_test(test_protocol SOURCES test_protocol.cpp LIBS talvane_protocol Qt6::Core)
talvane_add_test(test_clock SOURCES test_clock.cpp LIBS talvane_core)
talvane_add_test(test_edidfile SOURCES test_edidfile.cpp LIBS talvane_protocol Qt6::Core)

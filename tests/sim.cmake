talvane_add_test(test_sim_device SOURCES test_sim_device.cpp test_sim_cases.h LIBS talvane_sim)
talvane_add_test(test_sim_transport SOURCES test_sim_transport.cpp test_sim_cases.h LIBS talvane_sim)
talvane_add_test(test_sim_netns SOURCES test_sim_netns.cpp LIBS talvane_sim)

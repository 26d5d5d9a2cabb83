# Hostile TCP peers against the simulator (also used by bench_sim_hostile).
add_library(talvane_hostilepeers STATIC
  ${CMAKE_CURRENT_LIST_DIR}/support/hostilepeers.cpp
  ${CMAKE_CURRENT_LIST_DIR}/support/hostilepeers.h)
target_include_directories(talvane_hostilepeers PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(talvane_hostilepeers PUBLIC talvane_protocol)
set_target_properties(talvane_hostilepeers PROPERTIES AUTOMOC OFF)

talvane_add_test(test_sim_device SOURCES test_sim_device.cpp test_sim_cases.h LIBS talvane_sim)
talvane_add_test(test_sim_transport SOURCES test_sim_transport.cpp test_sim_cases.h LIBS talvane_sim talvane_hostilepeers)
talvane_add_test(test_sim_netns SOURCES test_sim_netns.cpp LIBS talvane_sim)

talvane_add_test(test_sim_hostile SOURCES test_sim_hostile.cpp LIBS talvane_hostilepeers)
target_compile_definitions(test_sim_hostile PRIVATE TALVANE_SIM_PROGRAM="$<TARGET_FILE:talvane-sim>")
add_dependencies(test_sim_hostile talvane-sim)

# The hub's control port: programs that speak the switch's protocol on
# loopback TCP, the in-process simulator behind it, talvane-ctl beside them.
talvane_add_test(test_hub SOURCES test_hub.cpp support/simlink.h support/videohubclient.h test_sim_cases.h
  LIBS talvane_videohub talvane_sim)
target_compile_definitions(test_hub PRIVATE TALVANE_CTL_PROGRAM="$<TARGET_FILE:talvane-ctl>")
add_dependencies(test_hub talvane-ctl)

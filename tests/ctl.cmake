# talvane-ctl: the program against the simulator, and its logic in-process.
talvane_add_test(test_ctl SOURCES test_ctl.cpp support/simlink.h LIBS talvane_ctl talvane_sim)
target_compile_definitions(test_ctl PRIVATE TALVANE_CTL_PROGRAM="$<TARGET_FILE:talvane-ctl>")
add_dependencies(test_ctl talvane-ctl)
# Finding the hub: serve, and talvane-ctl beside it, as processes.
talvane_add_test(test_hubdiscovery SOURCES test_hubdiscovery.cpp LIBS talvane_link talvane_sim)
target_compile_definitions(test_hubdiscovery PRIVATE TALVANE_CTL_PROGRAM="$<TARGET_FILE:talvane-ctl>")
add_dependencies(test_hubdiscovery talvane-ctl)

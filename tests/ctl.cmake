# talvane-ctl: the program against the simulator, and its logic in-process.
talvane_add_test(test_ctl SOURCES test_ctl.cpp support/simlink.h support/ctlinprocess.h LIBS talvane_ctl talvane_sim)
target_compile_definitions(test_ctl PRIVATE TALVANE_CTL_PROGRAM="$<TARGET_FILE:talvane-ctl>")
add_dependencies(test_ctl talvane-ctl)
# Backup and restore, and the names in CSV, through talvane-ctl in-process.
talvane_add_test(test_backup SOURCES test_backup.cpp support/simlink.h support/ctlinprocess.h LIBS talvane_ctl talvane_sim)
# Finding the hub: serve, and talvane-ctl beside it, as processes.
talvane_add_test(test_hubdiscovery SOURCES test_hubdiscovery.cpp LIBS talvane_link talvane_sim)
target_compile_definitions(test_hubdiscovery PRIVATE TALVANE_CTL_PROGRAM="$<TARGET_FILE:talvane-ctl>")
add_dependencies(test_hubdiscovery talvane-ctl)
# Output locks through the hub: serve in-process on the simulator's pseudo-terminal,
# talvane-ctl programs, a Videohub surface, the web API and the control port beside it.
talvane_add_test(test_locks SOURCES test_locks.cpp support/httphub.h support/videohubclient.h support/programrun.h
  LIBS talvane_ctl talvane_sim)
target_compile_definitions(test_locks PRIVATE TALVANE_CTL_PROGRAM="$<TARGET_FILE:talvane-ctl>")
add_dependencies(test_locks talvane-ctl)

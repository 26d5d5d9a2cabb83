# The installed programs as a user starts them from a shell.
talvane_add_test(test_programs SOURCES test_programs.cpp LIBS talvane_version)
target_compile_definitions(test_programs PRIVATE TALVANE_PANEL_PROGRAM="$<TARGET_FILE:talvane-controller>")
add_dependencies(test_programs talvane-controller)

# The operations against the in-process simulator, without widgets.
talvane_add_test(test_ops SOURCES test_ops.cpp support/simlink.h test_sim_cases.h LIBS talvane_ops talvane_sim)
# Routing presets, their file, and following the switch.
talvane_add_test(test_presets SOURCES test_presets.cpp support/simlink.h LIBS talvane_ops talvane_sim)
# The labels store shared by the panel and talvane-ctl.
talvane_add_test(test_labelstore SOURCES test_labelstore.cpp LIBS talvane_ops)

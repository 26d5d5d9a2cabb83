# The operations against the in-process simulator, without widgets.
talvane_add_test(test_ops SOURCES test_ops.cpp support/simlink.h test_sim_cases.h LIBS talvane_ops talvane_sim)

# The operations against the in-process simulator, without widgets.
talvane_add_test(test_ops SOURCES test_ops.cpp support/simlink.h LIBS talvane_ops talvane_sim)

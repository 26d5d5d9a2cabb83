# The Videohub server against the in-process simulator, with clients on loopback.
talvane_add_test(test_videohub SOURCES test_videohub.cpp support/simlink.h LIBS talvane_videohub talvane_sim)

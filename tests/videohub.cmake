# The Videohub server against the in-process simulator, with clients on loopback.
talvane_add_test(test_videohub SOURCES test_videohub.cpp support/simlink.h support/videohubclient.h LIBS talvane_videohub talvane_sim)
talvane_add_test(test_ctl_serve SOURCES test_ctl_serve.cpp support/simlink.h support/videohubclient.h
  LIBS talvane_ctl talvane_sim)

# Serial link and serial port list.
talvane_add_test(test_serialport
  SOURCES test_serialport.cpp support/pty.cpp support/pty.h
  LIBS talvane_link)
talvane_add_test(test_serialportlist
  SOURCES test_serialportlist.cpp support/pty.cpp support/pty.h
  LIBS talvane_link)
talvane_add_test(test_netlinks
  SOURCES test_netlinks.cpp
  LIBS talvane_link)
talvane_add_test(test_portwatcher
  SOURCES test_portwatcher.cpp
  LIBS talvane_link)
talvane_add_test(test_smallfile
  SOURCES test_smallfile.cpp
  LIBS talvane_link)

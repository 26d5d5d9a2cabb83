# The session: exchanges, time limits, unsolicited replies.
talvane_add_test(test_session SOURCES test_session.cpp support/capturelink.h LIBS talvane_engine)

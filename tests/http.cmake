# The web remote and its API against the in-process simulator, with plain
# HTTP clients on loopback; the page in headless Chromium.
talvane_add_test(test_http SOURCES test_http.cpp support/httphub.h support/simlink.h LIBS talvane_ctl talvane_http talvane_sim)
talvane_add_test(test_http_page SOURCES test_http_page.cpp support/httphub.h support/simlink.h support/webdriver.h
  LIBS talvane_http talvane_sim)

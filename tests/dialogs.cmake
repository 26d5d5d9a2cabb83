# Popups and the image button, and the modal driver that other test programs
# link to answer the popups (talvane_testsupport).
add_library(talvane_testsupport STATIC
  ${CMAKE_CURRENT_LIST_DIR}/support/scriptedmodal.cpp
  ${CMAKE_CURRENT_LIST_DIR}/support/scriptedmodal.h)
target_include_directories(talvane_testsupport PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(talvane_testsupport PUBLIC talvane_dialogs talvane_core Qt6::Widgets Qt6::Test)

talvane_add_test(test_imagebutton
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_imagebutton.cpp
  LIBS talvane_controls talvane_resources)
talvane_add_test(test_framedgroup
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_framedgroup.cpp
  LIBS talvane_controls)
talvane_add_test(test_popups
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_popups.cpp
  LIBS talvane_testsupport talvane_dialogs talvane_resources)
talvane_add_test(test_configipdlg
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_configipdlg.cpp
  LIBS talvane_dialogs talvane_resources)

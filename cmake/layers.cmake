# The session and the operations run without a window: the panel, the
# command-line tool and the tests share them. Configuring fails when either
# comes to link Qt Widgets or Gui, or a library of the window's (the dialogs,
# controls, resources, pages or the main window), however indirectly.
set(TALVANE_WINDOW_LIBRARIES Qt6::Widgets Qt6::Gui talvane_dialogs talvane_controls talvane_resources talvane_pages
    talvane_app)

# Every target that <target> links, however indirectly, into <out>.
function(talvane_linked_targets out target)
  set(seen)
  set(todo ${target})
  while(todo)
    list(POP_FRONT todo current)
    if(current IN_LIST seen OR NOT TARGET ${current})
      continue()
    endif()
    list(APPEND seen ${current})
    get_target_property(imported ${current} IMPORTED)
    get_target_property(type ${current} TYPE)
    if(NOT type STREQUAL "INTERFACE_LIBRARY" AND NOT imported)
      get_target_property(direct ${current} LINK_LIBRARIES)
      if(direct)
        list(APPEND todo ${direct})
      endif()
    endif()
    get_target_property(interface ${current} INTERFACE_LINK_LIBRARIES)
    if(interface)
      list(APPEND todo ${interface})
    endif()
  endwhile()
  list(REMOVE_ITEM seen ${target})
  set(${out} ${seen} PARENT_SCOPE)
endfunction()

function(talvane_forbid_window_libraries target)
  talvane_linked_targets(linked ${target})
  foreach(library ${TALVANE_WINDOW_LIBRARIES})
    if(library IN_LIST linked)
      message(FATAL_ERROR "${target} must not link ${library}, however indirectly: it runs without a window")
    endif()
  endforeach()
endfunction()

talvane_forbid_window_libraries(talvane_engine)
talvane_forbid_window_libraries(talvane_ops)
talvane_forbid_window_libraries(talvane_hub)
talvane_forbid_window_libraries(talvane_videohub)
talvane_forbid_window_libraries(talvane_ctl)
talvane_forbid_window_libraries(talvane-ctl)

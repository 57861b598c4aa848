# mivrabox: playlist events and lines, playlist files, box state, media object lists.
# Further box client sources join the list below.
add_library(mivrabox STATIC
  ${CMAKE_CURRENT_LIST_DIR}/mivrabox_event.cc
  ${CMAKE_CURRENT_LIST_DIR}/mivrabox_ply.cc
  ${CMAKE_CURRENT_LIST_DIR}/mivrabox_lib.cc
  ${CMAKE_CURRENT_LIST_DIR}/mivrabox_state.cc)
target_include_directories(mivrabox PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(mivrabox PUBLIC common xmlrpc::client)

# mivrabox: playlist events and lines, playlist files, box state, media object lists, and the
# box client calls with their compressed event bodies.
add_library(mivrabox STATIC
  ${CMAKE_CURRENT_LIST_DIR}/mivrabox_event.cc
  ${CMAKE_CURRENT_LIST_DIR}/mivrabox_ply.cc
  ${CMAKE_CURRENT_LIST_DIR}/mivrabox_lib.cc
  ${CMAKE_CURRENT_LIST_DIR}/mivrabox_state.cc
  ${CMAKE_CURRENT_LIST_DIR}/mivrabox_body.cc
  ${CMAKE_CURRENT_LIST_DIR}/mivrabox_client.cc)
target_include_directories(mivrabox PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(mivrabox PUBLIC common mivra xmlrpc::client PkgConfig::ZLIB_PC)

# mivrabox: playlist events and lines, playlist files, box state, media object lists and the box
# client calls; every mivrabox*.cc of this folder belongs to it.
file(GLOB MIVRABOX_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/mivrabox*.cc)
add_library(mivrabox STATIC ${MIVRABOX_SOURCES})
target_include_directories(mivrabox PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(mivrabox PUBLIC common mivra xmlrpc::client PkgConfig::ZLIB_PC PkgConfig::RHASH_PC)

# Service client library: the pool of XML-RPC clients and the calls of the outside services.
add_library(mivra STATIC
  ${CMAKE_CURRENT_LIST_DIR}/mivra.cc
  ${CMAKE_CURRENT_LIST_DIR}/mivra_io.cc
  ${CMAKE_CURRENT_LIST_DIR}/mivra_udp.cc)
target_include_directories(mivra PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(mivra PUBLIC common xmlrpc::client)

# Service client library: the pool of XML-RPC clients and the calls of the outside services.
# mivra.cc holds the pool and the call families; each service adds its wrappers as mivra_*.cc.
file(GLOB mivra_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/mivra.cc
     ${CMAKE_CURRENT_LIST_DIR}/mivra_*.cc)
add_library(mivra STATIC ${mivra_sources})
target_include_directories(mivra PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(mivra PUBLIC common xmlrpc::client)

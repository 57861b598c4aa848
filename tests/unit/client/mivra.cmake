# Service client library against the fake services of tests/fakes (started as child processes).
# Every mivra_test.cc / mivra_*_test.cc here joins the one binary.
if(NOT TARGET fake_client)
  add_library(fake_client STATIC ${CMAKE_SOURCE_DIR}/tests/fakes/fake_client.cc)
  target_include_directories(fake_client PUBLIC ${CMAKE_SOURCE_DIR}/tests/fakes)
  target_compile_definitions(fake_client PRIVATE
                             MIVRA_FAKES_DIR="${CMAKE_SOURCE_DIR}/tests/fakes")
  target_link_libraries(fake_client PUBLIC xmlrpc::client)
endif()
file(GLOB mivra_test_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/mivra_test.cc
     ${CMAKE_CURRENT_LIST_DIR}/mivra_*_test.cc)
mivra_unit_test(mivra_test SOURCES ${mivra_test_sources} LIBS mivra fake_client)

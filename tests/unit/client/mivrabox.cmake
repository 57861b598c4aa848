mivra_unit_test(mivrabox_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/mivrabox_event_test.cc
          ${CMAKE_CURRENT_LIST_DIR}/mivrabox_ply_test.cc
          ${CMAKE_CURRENT_LIST_DIR}/mivrabox_lib_test.cc
          ${CMAKE_CURRENT_LIST_DIR}/mivrabox_state_test.cc
          ${CMAKE_CURRENT_LIST_DIR}/mivrabox_client_test.cc
          ${CMAKE_CURRENT_LIST_DIR}/mivrabox_client_box2_test.cc
  LIBS mivrabox fake_client)

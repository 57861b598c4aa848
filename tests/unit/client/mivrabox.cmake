# One binary for the box library: every mivrabox*_test.cc of this folder.
file(GLOB MIVRABOX_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/mivrabox*_test.cc)
mivra_unit_test(mivrabox_test SOURCES ${MIVRABOX_TESTS} LIBS mivrabox fake_client)

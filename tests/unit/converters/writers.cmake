if(TARGET plywriter)
  mivra_unit_test(plywriter_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/plywriter_test.cc LIBS plywriter)
endif()

brivelle_add_qtest(tst_pelmoraform SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_pelmoraform.cpp LIBS brivelle_app_ui)

brivelle_add_qtest(tst_formmodels SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_formmodels.cpp
  LIBS brivelle_app_ui brivelle_test_vendorserver brivelle_engine_testmodels Qt6::Widgets)

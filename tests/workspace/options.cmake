brivelle_add_qtest(test_options_units SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_options_units.cpp LIBS brivelle_app_core)
if(TARGET brivelle_app_ui AND EXISTS ${PROJECT_SOURCE_DIR}/workspace/PelmoraForm.ui)
  brivelle_add_qtest(test_options_form SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_options_form.cpp LIBS brivelle_app_ui)
endif()

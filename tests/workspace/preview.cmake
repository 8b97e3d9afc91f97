brivelle_add_qtest(test_preview_units SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_preview_units.cpp LIBS brivelle_app_core)
if(TARGET brivelle_app_ui AND EXISTS ${PROJECT_SOURCE_DIR}/workspace/PelmoraForm.ui)
  brivelle_add_qtest(test_preview_form SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_preview_form.cpp LIBS brivelle_app_ui)
endif()

brivelle_add_qtest(test_options_units SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_options_units.cpp LIBS brivelle_app_core)
if(TARGET brivelle_app_ui AND EXISTS ${PROJECT_SOURCE_DIR}/workspace/PelmoraForm.ui)
  # Networks of the family for the other-network choice are generated small.
  brivelle_add_qtest(test_options_form SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_options_form.cpp
                     LIBS brivelle_app_ui brivelle_engine_testmodels)
endif()
if(TEST test_options_form)
  # The same checks on a machine without any Vulkan driver: the GPU option is switched off.
  add_test(NAME test_options_form_without_gpu COMMAND test_options_form)
  set_tests_properties(test_options_form_without_gpu PROPERTIES ENVIRONMENT
    "QT_QPA_PLATFORM=offscreen;VK_ICD_FILENAMES=/nonexistent/icd.json;VK_DRIVER_FILES=/nonexistent/icd.json")
endif()

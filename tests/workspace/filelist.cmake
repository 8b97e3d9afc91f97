# The file list's pure units, and the file list driven through the real form.
brivelle_add_qtest(test_filelist_units SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_filelist_units.cpp LIBS brivelle_app_core)
if(TARGET brivelle_app_ui AND EXISTS ${PROJECT_SOURCE_DIR}/workspace/PelmoraForm.ui)
  brivelle_add_qtest(test_filelist_form SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_filelist_form.cpp LIBS brivelle_app_ui)
endif()

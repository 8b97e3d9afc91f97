brivelle_add_qtest(tst_pelmoraform SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_pelmoraform.cpp
                   ${PROJECT_SOURCE_DIR}/tests/support/browsercatcher.h LIBS brivelle_app_ui)

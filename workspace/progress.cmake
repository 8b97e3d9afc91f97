target_sources(brivelle_app_core PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/batchProgress.h ${CMAKE_CURRENT_LIST_DIR}/batchProgress.cpp)

target_sources(brivelle_app_core PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/storedOptions.h ${CMAKE_CURRENT_LIST_DIR}/storedOptions.cpp)

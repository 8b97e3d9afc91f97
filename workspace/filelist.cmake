# Pure units of the file list: no widgets, reachable from tests without a form.
target_sources(brivelle_app_core PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/deleteList.h ${CMAKE_CURRENT_LIST_DIR}/deleteList.cpp
  ${CMAKE_CURRENT_LIST_DIR}/listedPath.h ${CMAKE_CURRENT_LIST_DIR}/listedPath.cpp
  ${CMAKE_CURRENT_LIST_DIR}/naturalOrder.h ${CMAKE_CURRENT_LIST_DIR}/naturalOrder.cpp
  ${CMAKE_CURRENT_LIST_DIR}/folderWalk.h ${CMAKE_CURRENT_LIST_DIR}/folderWalk.cpp
  ${CMAKE_CURRENT_LIST_DIR}/thumbnail.h ${CMAKE_CURRENT_LIST_DIR}/thumbnail.cpp
  ${CMAKE_CURRENT_LIST_DIR}/thumbnailBatch.h ${CMAKE_CURRENT_LIST_DIR}/thumbnailBatch.cpp)

# Adding a large folder to the workspace: rows, thumbnails and the longest stall of the GUI thread.
add_executable(bench-add-folder ${CMAKE_CURRENT_LIST_DIR}/addbench.cpp)
set_target_properties(bench-add-folder PROPERTIES AUTOMOC ON)
target_link_libraries(bench-add-folder PRIVATE brivelle_app_ui)
brivelle_strict_qt(bench-add-folder)
brivelle_warnings(bench-add-folder)

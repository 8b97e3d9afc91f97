# The oneDNN CPU path: graphs compiled into oneDNN primitives in blocked layouts.
# Debian's dnnl-config.cmake demands OpenCL, which the CPU engine does not need: find the library directly.
find_path(BRIVELLE_DNNL_INCLUDE_DIR oneapi/dnnl/dnnl.hpp REQUIRED)
find_library(BRIVELLE_DNNL_LIBRARY dnnl REQUIRED)
target_sources(brivelle_inference PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/blocked_kernels.cpp
  ${CMAKE_CURRENT_LIST_DIR}/buffer_pool.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fast_graph.cpp
  ${CMAKE_CURRENT_LIST_DIR}/onednn_plan.cpp)
target_include_directories(brivelle_inference SYSTEM PRIVATE ${BRIVELLE_DNNL_INCLUDE_DIR})
target_link_libraries(brivelle_inference PRIVATE ${BRIVELLE_DNNL_LIBRARY})
target_compile_definitions(brivelle_inference PRIVATE BRIVELLE_HAVE_ONEDNN=1)

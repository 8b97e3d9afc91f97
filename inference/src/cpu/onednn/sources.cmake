# The oneDNN CPU path: graphs compiled into oneDNN primitives in blocked layouts.
# Debian's dnnl-config.cmake demands OpenCL, which the CPU engine does not need: find the library directly.
find_path(BRIVELLE_DNNL_INCLUDE_DIR oneapi/dnnl/dnnl.hpp REQUIRED)
find_library(BRIVELLE_DNNL_LIBRARY dnnl REQUIRED)
# Each operator's form is layers/<type>_onednn.cpp defining `<type>_onednn`: one table lists them all.
file(GLOB _onednn_operators CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/layers/*_onednn.cpp)
brivelle_operator_table(${CMAKE_CURRENT_BINARY_DIR}/generated/onednn_operators.inc brivelle::onednn OnednnOperator
  kOnednnOperators ${_onednn_operators})
target_sources(brivelle_inference PRIVATE
  ${_onednn_operators}
  ${CMAKE_CURRENT_LIST_DIR}/activation_lowering.cpp
  ${CMAKE_CURRENT_LIST_DIR}/blocked_kernels.cpp
  ${CMAKE_CURRENT_LIST_DIR}/buffer_pool.cpp
  ${CMAKE_CURRENT_LIST_DIR}/lowering.cpp
  ${CMAKE_CURRENT_LIST_DIR}/layers/convolution_winograd.cpp
  ${CMAKE_CURRENT_LIST_DIR}/onednn_backend.cpp
  ${CMAKE_CURRENT_LIST_DIR}/plan_compiler.cpp
  ${CMAKE_CURRENT_LIST_DIR}/plan_executor.cpp
  ${CMAKE_CURRENT_LIST_DIR}/plan_weights.cpp
  ${CMAKE_CURRENT_LIST_DIR}/plan_cache.cpp
  ${CMAKE_CURRENT_LIST_DIR}/reference_lowering.cpp
  ${CMAKE_CURRENT_LIST_DIR}/winograd_convolution.cpp)
target_include_directories(brivelle_inference SYSTEM PRIVATE ${BRIVELLE_DNNL_INCLUDE_DIR})
target_link_libraries(brivelle_inference PRIVATE ${BRIVELLE_DNNL_LIBRARY})
target_compile_definitions(brivelle_inference PRIVATE BRIVELLE_ONEDNN_BACKEND=1)

# Benchmark pieces for tools: the FMA probe, sample graphs, and the measurements.
add_library(brivelle_onednn_bench STATIC
  ${CMAKE_CURRENT_LIST_DIR}/bench/fma_probe.cpp
  ${CMAKE_CURRENT_LIST_DIR}/bench/onednn_bench.cpp
  ${CMAKE_CURRENT_LIST_DIR}/bench/onednn_details.cpp
  ${CMAKE_CURRENT_LIST_DIR}/bench/sample_graphs.cpp)
target_include_directories(brivelle_onednn_bench PUBLIC ${CMAKE_CURRENT_LIST_DIR}/../..)
target_link_libraries(brivelle_onednn_bench PUBLIC brivelle_inference PRIVATE OpenMP::OpenMP_CXX)
brivelle_warnings(brivelle_onednn_bench)
if(BRIVELLE_BUILD_TOOLS)
  add_executable(onednn_bench ${CMAKE_CURRENT_LIST_DIR}/bench/onednn_bench_main.cpp)
  target_link_libraries(onednn_bench PRIVATE brivelle_onednn_bench)
  brivelle_warnings(onednn_bench)
  add_executable(winograd_bench ${CMAKE_CURRENT_LIST_DIR}/bench/winograd_bench_main.cpp)
  target_include_directories(winograd_bench SYSTEM PRIVATE ${BRIVELLE_DNNL_INCLUDE_DIR})
  target_link_libraries(winograd_bench PRIVATE brivelle_onednn_bench ${BRIVELLE_DNNL_LIBRARY} OpenMP::OpenMP_CXX)
  brivelle_warnings(winograd_bench)
endif()

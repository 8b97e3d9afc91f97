# The runtime core: Mat, loaders, reference layers, execution, and the model generator.
brivelle_add_gtest(inference_core_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/mat_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/layers_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/convolution_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/loader_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/net_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/planner_test.cpp
  LIBS brivelle_inference brivelle_modelgen)
target_include_directories(inference_core_tests PRIVATE ${PROJECT_SOURCE_DIR}/inference/src)
target_compile_definitions(inference_core_tests PRIVATE
  BRIVELLE_FUZZ_REGRESSIONS="${CMAKE_CURRENT_LIST_DIR}/fuzz_regressions")
brivelle_add_cpu_variants(inference_core_tests PLAIN ARGS --gtest_filter=Net.*)

# Every operator on every backend built in, against the reference layers; the CPU variants rerun the
# oneDNN rows under each ISA cap and in the planar layout.
brivelle_add_gtest(operators_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/operators_test.cpp LIBS brivelle_inference)
target_include_directories(operators_test PRIVATE ${PROJECT_SOURCE_DIR}/inference/src)
brivelle_add_cpu_variants(operators_test PLAIN PRECISION ARGS --gtest_filter=*onednn*)

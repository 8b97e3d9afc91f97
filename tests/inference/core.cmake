# The runtime core: Mat, loaders, reference layers, execution, and the model generator.
brivelle_add_gtest(inference_core_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/mat_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/layers_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/convolution_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/loader_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/net_test.cpp
  LIBS brivelle_inference brivelle_modelgen)
target_include_directories(inference_core_tests PRIVATE ${PROJECT_SOURCE_DIR}/inference/src)
target_compile_definitions(inference_core_tests PRIVATE
  BRIVELLE_FUZZ_REGRESSIONS="${CMAKE_CURRENT_LIST_DIR}/fuzz_regressions")
brivelle_add_cpu_variants(inference_core_tests PLAIN ARGS --gtest_filter=Net.*)

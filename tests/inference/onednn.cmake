# Tests of the oneDNN CPU path.
brivelle_add_gtest(onednn_plan_test
  SOURCES onednn/onednn_plan_test.cpp
  LIBS brivelle_onednn_bench brivelle_inference)
target_include_directories(onednn_plan_test PRIVATE ${PROJECT_SOURCE_DIR}/inference/src)

brivelle_add_gtest(onednn_backend_test
  SOURCES onednn/onednn_backend_test.cpp
  LIBS brivelle_onednn_bench brivelle_inference brivelle_modelgen)
target_include_directories(onednn_backend_test PRIVATE ${PROJECT_SOURCE_DIR}/inference/src)

brivelle_add_gtest(winograd_test
  SOURCES onednn/winograd_test.cpp
  LIBS brivelle_onednn_bench brivelle_inference)
target_include_directories(winograd_test PRIVATE ${PROJECT_SOURCE_DIR}/inference/src)

# Every CPU path this machine can run: lower ISA caps, and the planar layout.
brivelle_add_cpu_variants(onednn_plan_test PLAIN PRECISION)
brivelle_add_cpu_variants(onednn_backend_test PLAIN)
brivelle_add_cpu_variants(winograd_test)

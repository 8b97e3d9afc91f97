# Every test carries its executable's name as a label, so that a run can pick executables
# (`ctest -L '^tst_cli$'`), as the ThreadSanitizer run does.

# brivelle_add_qtest(<name> SOURCES <files...> LIBS <targets...>)
# A Qt Test executable registered with CTest; it runs on the offscreen platform, never on a display.
function(brivelle_add_qtest name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  set_target_properties(${name} PROPERTIES AUTOMOC ON AUTOUIC ON AUTORCC ON)
  target_link_libraries(${name} PRIVATE Qt6::Test ${ARG_LIBS})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
  brivelle_strict_qt(${name})
  brivelle_warnings(${name})
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES LABELS ${name} ENVIRONMENT
    "QT_QPA_PLATFORM=offscreen;BRIVELLE_SOURCE_DIR=${PROJECT_SOURCE_DIR};BRIVELLE_SHARED_DIR=${PROJECT_SOURCE_DIR}/../shared")
endfunction()

# brivelle_add_gtest(<name> SOURCES <files...> LIBS <targets...>): an engine test on GoogleTest.
function(brivelle_add_gtest name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE GTest::gtest GTest::gtest_main ${ARG_LIBS})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  brivelle_warnings(${name})
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS ${name} ENVIRONMENT "BRIVELLE_SHARED_DIR=${PROJECT_SOURCE_DIR}/../shared")
endfunction()

# brivelle_add_cpu_variants(<test executable> [PLAIN] [PRECISION] [ARGS <arguments...>]): the executable once
# more under each oneDNN ISA cap below the machine's own (SSE4.1, AVX2), so that one machine runs every CPU
# path it can; PLAIN adds a run with blobs forced into the planar layout (the gemm kernels and their
# scratchpads); PRECISION adds the caps that decide bf16: AVX512_CORE (no native bf16: auto gives fp32) and
# AVX512_CORE_BF16 (dot products without AMX). A cap above what the machine has leaves its ISA as it is: the
# tests that need it skip, naming the ISA that runs. ARGS narrow the runs to the tests that reach the CPU path.
function(brivelle_add_cpu_variants name)
  cmake_parse_arguments(ARG "PLAIN;PRECISION" "" "ARGS" ${ARGN})
  set(suffixes sse41 avx2)
  set(settings "ONEDNN_MAX_CPU_ISA=SSE41" "ONEDNN_MAX_CPU_ISA=AVX2")
  if(ARG_PRECISION)
    list(APPEND suffixes avx512 avx512bf16)
    list(APPEND settings "ONEDNN_MAX_CPU_ISA=AVX512_CORE" "ONEDNN_MAX_CPU_ISA=AVX512_CORE_BF16")
  endif()
  if(ARG_PLAIN)
    list(APPEND suffixes plain)
    list(APPEND settings "BRIVELLE_ONEDNN_LAYOUT=plain")
  endif()
  foreach(suffix setting IN ZIP_LISTS suffixes settings)
    add_test(NAME ${name}_${suffix} COMMAND ${name} ${ARG_ARGS})
    set_tests_properties(${name}_${suffix} PROPERTIES LABELS "cpu-variant;${name}" ENVIRONMENT
      "${setting};QT_QPA_PLATFORM=offscreen;BRIVELLE_SOURCE_DIR=${PROJECT_SOURCE_DIR};BRIVELLE_SHARED_DIR=${PROJECT_SOURCE_DIR}/../shared")
  endforeach()
endfunction()

# Whole networks on the GPU against the CPU reference; needs the runtime's core (Net, layers).
if(EXISTS ${_vk_runtime_src}/net.cpp)
  brivelle_vulkan_test(vulkan_network_test ${_vk_test_dir}/vulkan_network_test.cpp)
  brivelle_vulkan_test(vulkan_validation_test ${_vk_test_dir}/vulkan_validation_test.cpp)
  if(TARGET brivelle_modelgen)
    target_link_libraries(vulkan_network_test PRIVATE brivelle_modelgen)
    target_compile_definitions(vulkan_network_test PRIVATE BRIVELLE_HAS_MODELGEN=1)
  endif()
endif()

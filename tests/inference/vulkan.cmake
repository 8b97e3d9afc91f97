# GPU tests. They run on whatever Vulkan driver the environment selects; without VK_ICD_FILENAMES they
# pick Mesa's lavapipe, and without any device they skip.
find_package(Vulkan REQUIRED)
set(_vk_test_dir ${CMAKE_CURRENT_LIST_DIR}/vulkan)
set(_vk_runtime_src ${CMAKE_CURRENT_LIST_DIR}/../../inference/src)

function(brivelle_vulkan_test name)
  brivelle_add_gtest(${name} SOURCES ${ARGN} LIBS brivelle_inference)
  target_include_directories(${name} PRIVATE ${_vk_runtime_src} ${_vk_test_dir})
  target_link_libraries(${name} PRIVATE Vulkan::Headers)
endfunction()

brivelle_vulkan_test(vulkan_device_test ${_vk_test_dir}/vulkan_device_test.cpp)
brivelle_vulkan_test(vulkan_ops_test ${_vk_test_dir}/vulkan_ops_test.cpp)
include(${_vk_test_dir}/network.cmake)

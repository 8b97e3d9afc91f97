# The test vendor server: a library for the tests, and a standalone executable for `make run`.
add_library(brivelle_test_vendorserver STATIC
  ${CMAKE_CURRENT_LIST_DIR}/testvendorserver.h ${CMAKE_CURRENT_LIST_DIR}/testvendorserver.cpp)
set_target_properties(brivelle_test_vendorserver PROPERTIES AUTOMOC ON)
target_link_libraries(brivelle_test_vendorserver PUBLIC Qt6::Core Qt6::Network)
target_include_directories(brivelle_test_vendorserver PUBLIC ${PROJECT_SOURCE_DIR}/tests)
brivelle_strict_qt(brivelle_test_vendorserver)
brivelle_warnings(brivelle_test_vendorserver)

add_executable(brivelle_vendor_server ${CMAKE_CURRENT_LIST_DIR}/vendorserver_main.cpp)
target_link_libraries(brivelle_vendor_server PRIVATE brivelle_test_vendorserver)
brivelle_strict_qt(brivelle_vendor_server)
brivelle_warnings(brivelle_vendor_server)

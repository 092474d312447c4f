# Fault and load tests: real server processes that are killed, starved of
# their database or disk, and put under load.
add_library(orvala_fault_server STATIC ${CMAKE_CURRENT_LIST_DIR}/fault_server.cpp)
target_link_libraries(orvala_fault_server PUBLIC orvala_transport orvala_registry orvala_testing)
target_compile_definitions(orvala_fault_server PRIVATE
  ORVALA_SERVER_PROGRAM="$<TARGET_FILE:orvala-server>"
  ORVALA_CLI_PROGRAM="$<TARGET_FILE:orvala-cli>")
add_dependencies(orvala_fault_server orvala-server orvala-cli)

# A Firebird server of a test's or benchmark's own on a loopback port.
add_library(orvala_firebird_server STATIC ${CMAKE_CURRENT_LIST_DIR}/firebird_server.cpp)
target_link_libraries(orvala_firebird_server PUBLIC orvala_fault_server orvala_driver)

orvala_test(fault_test
  ${CMAKE_CURRENT_LIST_DIR}/fault_client_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fault_registry_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fault_database_test.cpp)
target_link_libraries(fault_test PRIVATE orvala_fault_server orvala_firebird_server orvala_client)

# The load program; scripts/load runs it at full size, ctest a short round.
add_executable(orvala-load ${CMAKE_CURRENT_LIST_DIR}/load_main.cpp)
target_link_libraries(orvala-load PRIVATE orvala_fault_server orvala_client)
add_test(NAME LoadShortRound COMMAND orvala-load --clients 8 --calls 200 --timeout 900)
set_tests_properties(LoadShortRound PROPERTIES LABELS load
  ENVIRONMENT "ORVALA_SOURCE_DIR=${PROJECT_SOURCE_DIR}")

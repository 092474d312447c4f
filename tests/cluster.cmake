# The cluster: a Firebird server, app servers and HAProxy on loopback; the
# program an operator starts it with (scripts/cluster) and its test.
add_library(orvala_cluster STATIC ${CMAKE_CURRENT_LIST_DIR}/cluster.cpp)
target_link_libraries(orvala_cluster PUBLIC orvala_firebird_server)

add_executable(orvala-cluster ${CMAKE_CURRENT_LIST_DIR}/cluster_main.cpp)
target_link_libraries(orvala-cluster PRIVATE orvala_cluster orvala_database orvala_testing)

add_executable(cluster_test ${CMAKE_CURRENT_LIST_DIR}/cluster_test.cpp)
target_link_libraries(cluster_test PRIVATE orvala_cluster orvala_client orvala_testing orvala_tls_testing
  GTest::gtest_main)
# Each test starts a cluster of its own; they take turns, and the label
# lets the sanitizer phase leave them out.
gtest_discover_tests(cluster_test DISCOVERY_MODE PRE_TEST
  PROPERTIES LABELS cluster RESOURCE_LOCK cluster TIMEOUT 300
             ENVIRONMENT "ORVALA_SOURCE_DIR=${PROJECT_SOURCE_DIR}")

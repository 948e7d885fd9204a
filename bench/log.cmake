# Cost of trace scopes and messages that the log's level filter refuses.
add_executable(cavix_log_bench ${CMAKE_CURRENT_LIST_DIR}/LogBench.cpp)
target_link_libraries(cavix_log_bench PRIVATE cavix_log benchmark::benchmark)

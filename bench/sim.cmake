# How fast the simulated scanner renders and encodes pages, and serves them over loopback.
add_executable(cavix_sim_bench ${CMAKE_CURRENT_LIST_DIR}/SimBench.cpp)
target_link_libraries(cavix_sim_bench PRIVATE cavix_sim benchmark::benchmark benchmark::benchmark_main)

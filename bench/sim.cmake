# How fast the simulated scanner renders and encodes pages, and serves them over loopback.
add_executable(cavix_sim_bench ${CMAKE_CURRENT_LIST_DIR}/SimBench.cpp)
target_link_libraries(cavix_sim_bench PRIVATE cavix_sim cavix_service benchmark::benchmark benchmark::benchmark_main)

# The end-to-end benchmark's page capture (bench/e2e): the JPEG pages the driver receives.
add_executable(cavix-e2e-capture ${CMAKE_CURRENT_LIST_DIR}/E2eCapture.cpp)
target_link_libraries(cavix-e2e-capture PRIVATE cavix_sim)
# Its runner: a program's wall time, CPU time, peak memory and page faults.
add_executable(cavix-e2e-run ${CMAKE_CURRENT_LIST_DIR}/E2eRun.cpp)

# The scan job flow end to end against the in-process simulated scanner: page time against
# libjpeg decoding, first rows under a rate limit, the driver's own cost per feeder page.
if(TARGET cavix_frontend AND TARGET cavix_device AND TARGET cavix_sim)
  find_package(JPEG REQUIRED)
  add_executable(cavix_flow_bench ${CMAKE_CURRENT_LIST_DIR}/FlowBench.cpp)
  target_link_libraries(cavix_flow_bench PRIVATE cavix_frontend cavix_device cavix_sim JPEG::JPEG
    benchmark::benchmark benchmark::benchmark_main Threads::Threads)
endif()

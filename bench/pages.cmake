# The benchmarks' pages (bench/BenchPage.cpp): decoded, drawn, given noise, encoded to JPEG.
add_library(cavix_bench_page STATIC ${CMAKE_CURRENT_LIST_DIR}/BenchPage.cpp)
target_link_libraries(cavix_bench_page PRIVATE JPEG::JPEG)

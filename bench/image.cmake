# Image data path benchmarks: page stream bandwidth against memcpy, JPEG decoding through the
# temporary file against libjpeg from memory, peak memory of a 600 dpi page.
add_executable(bench_image_stream ${CMAKE_CURRENT_LIST_DIR}/ImageStreamBench.cpp)
target_link_libraries(bench_image_stream PRIVATE cavix_image benchmark::benchmark Threads::Threads)

add_executable(bench_image_jpeg ${CMAKE_CURRENT_LIST_DIR}/JpegDecompressorBench.cpp)
target_link_libraries(bench_image_jpeg PRIVATE cavix_image cavix_bench_page benchmark::benchmark)

add_executable(bench_image_memory ${CMAKE_CURRENT_LIST_DIR}/ImageMemoryBench.cpp)
target_link_libraries(bench_image_memory PRIVATE cavix_image benchmark::benchmark Threads::Threads)

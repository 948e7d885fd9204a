# The file writers' compression settings measured on a page (bench/WriterBench.cpp).
add_executable(cavix-bench-writers ${CMAKE_CURRENT_LIST_DIR}/WriterBench.cpp)
target_link_libraries(cavix-bench-writers PRIVATE cavix_imagewriters cavix_bench_page JPEG::JPEG)

# DownloadUpgradeFile against `curl -o`, and the peak memory of download + verify + patch (run as root).
# Run: cmake --build <build> --target download_bench && <build>/bench/download_bench   (see bench/README.md)
add_executable(download_bench ${CMAKE_CURRENT_LIST_DIR}/download_bench.cpp)
target_link_libraries(download_bench PRIVATE tbox)
target_compile_options(download_bench PRIVATE -Wall -Wextra -Wshadow)
target_compile_definitions(download_bench PRIVATE TBOX_BENCH_DATA="${CMAKE_BINARY_DIR}/bench-data")

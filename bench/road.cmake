# The whole road for a difference package (DownloadUpgradePkg with its SHA-256, BSDiffPatchFile) against
# curl -o + sha256sum + bspatch, both from a loopback nginx.
# Run: cmake --build <build> --target road_bench && <build>/bench/road_bench   (see bench/README.md)
add_executable(road_bench ${CMAKE_CURRENT_LIST_DIR}/road_bench.cpp)
target_link_libraries(road_bench PRIVATE tbox)
target_compile_options(road_bench PRIVATE -Wall -Wextra -Wshadow)

# DownloadUpgradePkg cut at half and resumed, against a fresh download, both from a loopback nginx.
# Run: cmake --build <build> --target resume_bench && <build>/bench/resume_bench   (see bench/README.md)
add_executable(resume_bench ${CMAKE_CURRENT_LIST_DIR}/resume_bench.cpp)
target_link_libraries(resume_bench PRIVATE tbox)
target_compile_options(resume_bench PRIVATE -Wall -Wextra -Wshadow)

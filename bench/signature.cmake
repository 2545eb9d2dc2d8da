# CheckUpgradePkgSignature against `openssl dgst -sha256 -verify` on a 512 MiB package, and its peak memory.
# Run: cmake --build <build> --target signature_bench && <build>/bench/signature_bench   (see bench/README.md)
add_executable(signature_bench ${CMAKE_CURRENT_LIST_DIR}/signature_bench.cpp)
target_link_libraries(signature_bench PRIVATE tbox)
target_compile_options(signature_bench PRIVATE -Wall -Wextra -Wshadow)

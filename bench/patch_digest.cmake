# Patch and digests: BSDiffPatchFile against Debian's bspatch, FileMD5/FileSHA256 against coreutils.
# Run: cmake --build <build> --target run_bench_patch_digest   (see bench/README.md)
add_executable(patch_digest_tool ${CMAKE_CURRENT_LIST_DIR}/patch_digest_tool.c)
target_link_libraries(patch_digest_tool PRIVATE tbox)

add_executable(bench_patch_digest ${CMAKE_CURRENT_LIST_DIR}/patch_digest_bench.cpp)
target_compile_options(bench_patch_digest PRIVATE -Wall -Wextra -Wshadow)
target_compile_definitions(bench_patch_digest PRIVATE
  TBOX_TOOL="$<TARGET_FILE:patch_digest_tool>"
  TBOX_BENCH_DATA="${CMAKE_BINARY_DIR}/bench-data")
add_dependencies(bench_patch_digest patch_digest_tool)

add_custom_target(run_bench_patch_digest
  COMMAND bench_patch_digest
  DEPENDS bench_patch_digest patch_digest_tool
  USES_TERMINAL)

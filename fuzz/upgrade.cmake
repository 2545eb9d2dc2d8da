# The resumable download's partial-file description.
tbox_add_fuzzer(fuzz_part_sidecar fuzz_part_sidecar.cpp)

# The version parser on arbitrary text.
tbox_add_fuzzer(fuzz_version fuzz_version.cpp)

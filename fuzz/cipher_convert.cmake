tbox_add_fuzzer(fuzz_base64_decode fuzz_base64_decode.cpp)
tbox_add_fuzzer(fuzz_hex fuzz_hex.cpp)

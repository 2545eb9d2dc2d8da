tbox_add_test(cipher_test cipher_test.cpp)
tbox_add_test(convert_test convert_test.cpp)
find_package(ZLIB REQUIRED)
# zlib is the peer of crc32 in the tests only; the library itself does not link it.
target_link_libraries(convert_test PRIVATE ZLIB::ZLIB)

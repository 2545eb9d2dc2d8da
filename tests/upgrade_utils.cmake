# Upgrade utilities (patch, digests, AES, converters), checked against bsdiff, coreutils, openssl and zlib.
tbox_add_test(upgrade_utils_test upgrade_utils_test.cpp)
find_package(ZLIB REQUIRED)
# zlib is the peer of crc32 in the tests only; the library itself does not link it.
target_link_libraries(upgrade_utils_test PRIVATE ZLIB::ZLIB)

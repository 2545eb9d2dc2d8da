# zlib is the peer of crc32 in the tests only; the library itself does not link it.
tbox_module(convert SOURCES convert.cpp TESTS convert_test TEST_LINK ZLIB::ZLIB)

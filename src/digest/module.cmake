tbox_module(digest SOURCES ky_md5.cpp ky_sha256.cpp TESTS digest_test)

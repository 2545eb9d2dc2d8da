# The test changes and fails the reads of a file being digested.
tbox_module(digest SOURCES ky_md5.cpp ky_sha256.cpp digest_file.cpp TESTS digest_test TEST_LINK -Wl,--wrap=read)

# The test sees how the new file is created, flushed and renamed (tests/support/files.h).
tbox_module(patch SOURCES bspatch.cpp TESTS patch_test TEST_LINK -Wl,--wrap=fsync,--wrap=renameat,--wrap=openat64)

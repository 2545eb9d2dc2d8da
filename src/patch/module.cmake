# The test sees the fsync and rename calls made on the new file.
tbox_module(patch SOURCES bspatch.cpp TESTS patch_test TEST_LINK -Wl,--wrap=fsync -Wl,--wrap=rename)

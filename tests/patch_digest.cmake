# Upgrade utilities: binary patch (checked against Debian's bsdiff) and file digests (against coreutils).
tbox_add_test(patch_test patch_test.cpp)
tbox_add_test(digest_test digest_test.cpp)

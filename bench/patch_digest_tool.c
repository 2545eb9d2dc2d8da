/* Command-line front end of the SDK's patch and digest functions, so the benchmark can measure them in a
   process of their own (time and peak memory), exactly like the peer tools. */
#include <stdio.h>
#include <string.h>

#include <tbox/digest.h>
#include <tbox/patch.h>

int main(int argc, char **argv) {
    char md[65];
    if (argc == 5 && strcmp(argv[1], "patch") == 0) return BSDiffPatchFile(argv[2], argv[3], argv[4]) == 0 ? 0 : 1;
    if (argc == 3 && strcmp(argv[1], "md5") == 0 && FileMD5(argv[2], md) != NULL) return puts(md) < 0;
    if (argc == 3 && strcmp(argv[1], "sha256") == 0 && FileSHA256(argv[2], md) != NULL) return puts(md) < 0;
    fprintf(stderr, "usage: %s patch OLD NEW PATCH | md5 FILE | sha256 FILE\n", argv[0]);
    return 2;
}

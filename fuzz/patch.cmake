# BSDiffPatchFile on arbitrary patch bytes against a fixed old file.
tbox_add_fuzzer(fuzz_bspatch fuzz_bspatch.cpp)
if(TBOX_FUZZ_WITH_LIBFUZZER)
  # Coverage feedback from the code under test, not only from the entry point.
  set_property(SOURCE ${PROJECT_SOURCE_DIR}/src/patch/bspatch.cpp TARGET_DIRECTORY tbox_objects
               APPEND PROPERTY COMPILE_OPTIONS -fsanitize=fuzzer-no-link)
endif()

# The tests see how files are created, flushed and renamed (tests/support/files.h).
tbox_module(upgrade SOURCES upgrade_api.cpp upgrade_config.cpp upgrade_download.cpp upgrade_resume.cpp version.cpp
                    upgrade_signature.cpp
            TESTS version_test upgrade_test download_test download_progress_test resume_test
                  signature_test
            TEST_LINK -Wl,--wrap=fsync,--wrap=renameat,--wrap=openat64)
# The box's data root ("/oemdata" unless a desktop build moves it, see the top-level CMakeLists.txt);
# public, so the tests can tell a relocated build from the box's.
target_compile_definitions(tbox_objects PUBLIC TBOX_DATA_ROOT="${TBOX_DATA_ROOT}")

tbox_add_test(mcu_test mcu_test.cpp)

# The box is 32-bit ARM (4-byte long): check the queue records' sizes for that ABI with clang's
# freestanding headers, where clang can target it.
find_program(TBOX_CLANG clang)
if(TBOX_CLANG)
  execute_process(COMMAND ${TBOX_CLANG} -print-resource-dir OUTPUT_VARIABLE tbox_clang_resources
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/queue_records_armv7.c
"#include <tbox/mcu.h>
#include <tbox/upgrade_config.h>
_Static_assert(sizeof(long) == 4, \"32-bit ABI\");
_Static_assert(MCU_MSG_BUFFER_SIZE == 5136 && sizeof(McuMsg) == 5136, \"McuMsg buffer 5136\");
_Static_assert(sizeof(McuCtrlMsg) == 16, \"McuCtrlMsg 16 bytes\");
_Static_assert(CONFIG_MSG_BUFFER_SIZE == 4216 && sizeof(ConfigMsg) == 4216, \"ConfigMsg buffer 4216\");
_Static_assert(offsetof(McuMsg, len) == 8 && offsetof(McuMsg, subCmd) == 10 && offsetof(McuMsg, data) == 12, \"McuMsg\");
_Static_assert(offsetof(McuCtrlMsg, keyId) == 8 && offsetof(ConfigMsg, len) == 8, \"offsets\");
")
  add_test(NAME queue_records_armv7
           COMMAND ${TBOX_CLANG} --target=armv7-linux-gnueabihf -std=c11 -Wall -Werror -fsyntax-only -ffreestanding
                   -nostdinc -isystem ${tbox_clang_resources}/include -I${PROJECT_SOURCE_DIR}/include
                   ${CMAKE_CURRENT_BINARY_DIR}/queue_records_armv7.c)
endif()

# MCU channel round trip against raw msgsnd/msgrcv (needs root for its private IPC namespace).
add_executable(mcu_bench ${CMAKE_CURRENT_LIST_DIR}/mcu_bench.cpp)
target_link_libraries(mcu_bench PRIVATE tbox Threads::Threads)
target_compile_options(mcu_bench PRIVATE -Wall -Wextra -Wshadow)

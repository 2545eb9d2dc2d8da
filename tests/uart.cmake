tbox_add_test(uart_test uart_test.cpp)
target_link_libraries(uart_test PRIVATE util)
# Lets the tests see the attributes handed to the device where a pty overrides them (CSIZE, PARENB).
target_link_options(uart_test PRIVATE -Wl,--wrap=tcsetattr)

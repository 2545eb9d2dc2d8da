# The pty test reads what the helper handed to tcsetattr where a pty overrides it (CSIZE, PARENB).
tbox_module(uart SOURCES uart_api.cpp TESTS uart_test TEST_LINK util -Wl,--wrap=tcsetattr)

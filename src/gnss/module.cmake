# bus_restart_test covers every D-Bus client module across a restart of the system bus.
tbox_module(gnss SOURCES gnss_api.cpp TESTS bus_restart_test TEST_LINK -Wl,--wrap=g_timeout_source_new)

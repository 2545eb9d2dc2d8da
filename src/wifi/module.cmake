tbox_module(wifi SOURCES wifi_api.cpp TESTS wifi_test)

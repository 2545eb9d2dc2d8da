tbox_module(gb SOURCES gb_api.cpp TESTS gb_test clients_test)

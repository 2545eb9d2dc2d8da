tbox_module(at SOURCES at_api.cpp TESTS at_test)

tbox_module(wifi SOURCES wifi_api.cpp)

tbox_module(net SOURCES net_api.cpp)

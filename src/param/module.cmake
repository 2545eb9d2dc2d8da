tbox_module(param SOURCES param_api.cpp)

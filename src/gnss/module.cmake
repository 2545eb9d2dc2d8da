tbox_module(gnss SOURCES gnss_api.cpp)

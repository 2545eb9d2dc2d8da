tbox_module(pm SOURCES pm_api.cpp)

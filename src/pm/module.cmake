tbox_module(pm SOURCES pm_api.cpp TESTS pm_test)

tbox_module(mcu SOURCES mcu_api.cpp TESTS queue_test)

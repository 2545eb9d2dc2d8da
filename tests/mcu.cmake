tbox_add_test(mcu_test mcu_test.cpp)
tbox_add_test(upgrade_config_test upgrade_config_test.cpp)

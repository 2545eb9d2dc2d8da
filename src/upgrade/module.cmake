tbox_module(upgrade SOURCES upgrade_api.cpp)

# clients_test covers the six platform-service clients: gnss, param, net, wifi, pm and gb.
tbox_module(gb SOURCES gb_api.cpp TESTS clients_test)

tbox_module(cipher SOURCES aes.cpp TESTS cipher_test)

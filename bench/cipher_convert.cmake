# AES-256-ECB against `openssl enc`, crc32 against zlib's crc32() (zlib is linked here only, as the peer).
find_package(ZLIB REQUIRED)
add_executable(cipher_convert_bench ${CMAKE_CURRENT_LIST_DIR}/cipher_convert_bench.cpp)
target_link_libraries(cipher_convert_bench PRIVATE tbox ZLIB::ZLIB)
target_compile_options(cipher_convert_bench PRIVATE -Wall -Wextra -Wshadow)

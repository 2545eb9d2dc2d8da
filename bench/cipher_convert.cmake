# base64 against OpenSSL's EVP block functions, crc32 against zlib's crc32(), AES-256-ECB against
# `openssl enc` (OpenSSL and zlib are linked here only as the peers).
find_package(ZLIB REQUIRED)
add_executable(cipher_convert_bench ${CMAKE_CURRENT_LIST_DIR}/cipher_convert_bench.cpp)
target_link_libraries(cipher_convert_bench PRIVATE tbox OpenSSL::Crypto ZLIB::ZLIB)
target_compile_options(cipher_convert_bench PRIVATE -Wall -Wextra -Wshadow)

/**
 * @file cipher.h
 * @brief AES-256-ECB encryption and decryption of whole streams (OpenSSL EVP, PKCS#7 padding).
 *
 * The caller opens, positions and closes both streams; these functions read the input from its current
 * position to its end and append to the output, without rewinding, flushing or closing either. The
 * streams are read and written in 64 KiB chunks, so memory use does not depend on the stream length.
 * Reentrant: each call has its own cipher context; any thread may call, one call per stream pair at a
 * time. Byte-compatible with `openssl enc -aes-256-ecb -K <hex key>`.
 */
#ifndef TBOX_CIPHER_H
#define TBOX_CIPHER_H

#include <stdio.h>

#include <tbox/export.h>

TBOX_BEGIN_DECLS

/**
 * @brief Encrypts `in` into `out`.
 *
 * The output is a whole number of 16-byte blocks, 1 to 16 bytes longer than the input (an empty input
 * gives one block). Bytes written before a failure stay in `out`.
 * @param key the 32-byte key.
 * @param in stream read from its position to its end.
 * @param out stream the cipher text is appended to.
 * @retval 0 success.
 * @retval -1 an argument is NULL or the cipher cannot be set up (standard output: "EVP_EncryptInit_ex
 *         failed:<OpenSSL text>"), the cipher fails ("EVP_EncryptUpdate Failed",
 *         "EVP_EncryptFinal_ex Failed", also on standard output), or the input cannot be read or the
 *         output written (logged at err level; a read error is never taken for the end of the data).
 */
TBOX_API int Aes256EcbEncrypt(const unsigned char *key, FILE *in, FILE *out);

/**
 * @brief Decrypts `in` into `out`, checking and removing the padding.
 *
 * Bytes written before a failure stay in `out`.
 * @param key the 32-byte key.
 * @param in stream read from its position to its end.
 * @param out stream the plain text is appended to.
 * @retval 0 success.
 * @retval -1 a wrong key or damaged data (bad padding or a partial last block:
 *         "EVP_DecryptFinal_ex Failed"), an argument is NULL or the cipher cannot be set up
 *         ("EVP_DecryptInit_ex failed"), the input cannot be read or the output written; all logged at
 *         err level.
 */
TBOX_API int Aes256EcbDecrypt(const unsigned char *key, FILE *in, FILE *out);

TBOX_END_DECLS

#endif

/*
 * AES-256-ECB encryption and decryption of whole streams (OpenSSL EVP, PKCS#7 padding).
 *
 * The caller opens, positions and closes both streams; these functions read the input from its current
 * position to its end and append to the output, without rewinding, flushing or closing either. Memory
 * use does not depend on the stream length. Reentrant: each call has its own cipher context.
 */
#ifndef TBOX_CIPHER_H
#define TBOX_CIPHER_H

#include <stdio.h>

#include <tbox/export.h>

TBOX_BEGIN_DECLS

/*
 * Encrypts `in` into `out` with the 32-byte `key`. The output is a whole number of 16-byte blocks,
 * 1 to 16 bytes longer than the input (an empty input gives one block).
 * Returns 0, or -1 when the cipher cannot be set up or fails (reported on standard output), when the
 * input cannot be read or the output cannot be written (logged), or when an argument is NULL.
 * Bytes written before a failure stay in `out`.
 */
TBOX_API int Aes256EcbEncrypt(const unsigned char *key, FILE *in, FILE *out);

/*
 * Decrypts `in` into `out` with the 32-byte `key`, checking and removing the padding.
 * Returns 0, or -1 on a wrong key or damaged data (bad padding or a partial last block), when the input
 * cannot be read or the output cannot be written, or when an argument is NULL; failures are logged.
 * Bytes written before a failure stay in `out`.
 */
TBOX_API int Aes256EcbDecrypt(const unsigned char *key, FILE *in, FILE *out);

TBOX_END_DECLS

#endif

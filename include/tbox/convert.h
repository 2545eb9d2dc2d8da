/*
 * Conversion utilities: base64, CRC-32, hexadecimal text, integer to text, random digits, file size and
 * maximum/minimum scanning of sample buffers.
 *
 * The functions are C++ overloadable functions: their parameter types are part of the library's ABI,
 * so they are declared for C++ only. The two CRC variables are plain globals, usable from C as well.
 * Every output goes into a buffer the caller owns and sizes as stated; the converters check nothing
 * beyond what each comment says (no NULL checks unless stated, no check of hexadecimal digits).
 * All functions are reentrant, except that HexsToChar changes its argument and that changing the CRC
 * polynomial is a process-wide setting (see make_table).
 */
#ifndef TBOX_CONVERT_H
#define TBOX_CONVERT_H

#include <stdint.h>

#include <tbox/export.h>

/*
 * The reflected CRC-32 generator polynomial, initially 0xEDB88320 (CRC-32 of IEEE 802.3 / ISO HDLC).
 * It is read only when the CRC table is built: a change takes effect at the next make_table call (or at
 * the next crc32 call after have_table was set to 0).
 */
extern TBOX_API uint32_t POLYNOMIAL;
/* 0 until the CRC table is built; make_table sets it to 1 once the table is in use. */
extern TBOX_API int have_table;

#ifdef __cplusplus

/*
 * Base64 of `len` bytes of `in` into `out`, in lines of 64 characters, each ending with a newline
 * (also the last one; an empty input gives an empty text). Prints "in_len = <len>" on standard output.
 * `out` needs 4 * ceil(len / 3) characters, one newline per started 64 characters, and the NUL.
 * Returns the number of characters written (NUL not counted), or -1 if `in` or `out` is NULL or the
 * text would be longer than INT_MAX. A negative `len` counts as 0. Allocates nothing.
 */
TBOX_API int base64_encode(char *in, int len, char *out);

/*
 * Decodes `len` characters of base64 text written without line breaks into `out` and appends a NUL.
 * `out` needs 3 * ceil(len / 4) + 1 bytes (it may be written anywhere in that room). Returns the
 * number of bytes decoded; -1 (and an empty text in `out`) if the text holds a character other than
 * A-Z a-z 0-9 + / = CR LF; -1 if `in` or `out` is NULL. A negative `len` counts as 0.
 * Other texts are read as OpenSSL's base64 filter reads them without line breaks: in blocks of 1024
 * characters, the last one cut to a multiple of 4 (1 to 3 characters at the end are dropped); CR and
 * LF at the end of a block are dropped; a CR or LF inside a block ends the decoding, and the bytes of
 * the blocks before it are the result (so "YW\njZA==" gives 0 bytes, not -1); '=' ends no block and
 * counts as a zero digit, and a block ending in "=" or "==" gives one or two bytes fewer.
 */
TBOX_API int base64_decode(char *in, int len, char *out);

/*
 * Builds the CRC table from POLYNOMIAL and puts it in use, then sets have_table to 1. Safe to call from
 * several threads, also while others run crc32: each crc32 call uses one whole table, old or new.
 */
TBOX_API void make_table(void);

/*
 * Reflected CRC-32 (initial value and final XOR 0xFFFFFFFF) of `len` bytes at `data`; 0 for len <= 0.
 * Builds the table first if have_table is 0. With the initial POLYNOMIAL, "123456789" gives 0xCBF43926.
 */
TBOX_API uint32_t crc32(char *data, int len);

/*
 * Reads 2n hexadecimal characters (either case) from `src` and writes n bytes to `dst`, no terminator.
 * Other characters are not rejected; they go through the same digit arithmetic. Returns `dst`.
 */
TBOX_API unsigned char *StrToHex(unsigned char *dst, unsigned char const *src, int n);

/* Writes n bytes of `src` as 2n upper-case hex digits and a NUL (`dst` needs 2n + 1). Returns `dst`. */
TBOX_API unsigned char *HexToStr(unsigned char *dst, unsigned char const *src, int n);

/* Like HexToStr with lower-case digits; writes nothing at all (no NUL) when n <= 0. */
TBOX_API void StrToAsc(unsigned char *dst, unsigned char const *src, int n);

/*
 * Writes `value` in `base` (2 to 36, digits 0-9 then A-Z) and a NUL into `dst`; returns `dst`.
 * Only base 10 shows negative values with a minus sign; other bases write the 32-bit pattern
 * (itoa(-1, dst, 16) gives FFFFFFFF). `dst` needs up to 33 bytes. Another base writes an empty text.
 */
TBOX_API char *itoa(int value, char *dst, int base);

/* Upper-cases the first `len` bytes of `text` in place (toupper; a NUL does not stop it). Returns `text`. */
TBOX_API unsigned char *StrToUpper(unsigned char *text, int len);

/*
 * Writes `count` (taken as 0 to 255) random decimal digits to `dst` from the system's random source;
 * no terminator. Does not touch rand()'s state. Returns 0; 255 if `dst` is NULL or no random source is
 * available (then nothing is written).
 */
TBOX_API int GetRollNumber(unsigned char *dst, char count);

/* The digit of 0 to 15 ('0'-'9', 'A'-'F'); '0' for any other value. */
TBOX_API char itoch(short value);

/* The digit of 0 to 15 ('0'-'9', 'A'-'F'); 0xFF for any other value. */
TBOX_API unsigned char CharToHex(short value);

/* Writes the two upper-case hex digits of `byte` and a NUL to `dst` (3 bytes). Returns `dst`. */
TBOX_API unsigned char *CharToHexs(unsigned char byte, unsigned char *dst);

/*
 * Upper-cases a-z of the NUL-terminated `hex` in place, then reads it as a hex number and returns its
 * low 8 bits: only the last two digits count ("1A2B" gives 0x2B, "" gives 0).
 */
TBOX_API unsigned char HexsToChar(char *hex);

/* Size of the file at `path`, or -1 (logged at warn level with the system's error text). */
TBOX_API int64_t GetFileSize(char const *path);

/*
 * Scans `count` unsigned 8-bit samples: largest value (first occurrence) and smallest (last occurrence),
 * with their 1-based positions (kept in 8 bits, so they wrap after 255). Writes nothing when count is 0.
 */
TBOX_API void u8MaxAndMin(unsigned char *samples, unsigned short count, unsigned char *max, unsigned char *min,
                          unsigned char *maxPos, unsigned char *minPos);

/*
 * Scans big-endian signed 16-bit samples in the first `bytes` bytes (an odd last byte is ignored):
 * largest (first occurrence) and smallest (last occurrence) as 16-bit patterns, 1-based 8-bit positions,
 * and in `hundredth` the sum of the samples, as unsigned 32 bits, divided by 100 (not by the count),
 * cut to 16 bits. Writes nothing when `bytes` is less than 2.
 */
TBOX_API void u16MaxAndMin(unsigned char *samples, unsigned short bytes, unsigned short *max, unsigned short *min,
                           unsigned char *maxPos, unsigned char *minPos, unsigned short *hundredth);

#endif /* __cplusplus */

#endif

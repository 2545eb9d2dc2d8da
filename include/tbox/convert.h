/**
 * @file convert.h
 * @brief Conversion utilities: base64, CRC-32, hexadecimal text, integer to text, random digits, file
 *        size and maximum/minimum scanning of sample buffers.
 *
 * The functions are C++ overloadable functions: their parameter types are part of the library's ABI,
 * so they are declared for C++ only. The two CRC variables are plain globals, usable from C as well.
 * Every output goes into a buffer the caller owns and sizes as stated; nothing is allocated for the
 * caller. The converters check nothing beyond what each comment says (no NULL checks unless stated, no
 * check of hexadecimal digits). All functions are reentrant and may run on any thread, except that
 * HexsToChar changes its argument and that changing the CRC polynomial is a process-wide setting (see
 * make_table).
 */
#ifndef TBOX_CONVERT_H
#define TBOX_CONVERT_H

#include <stdint.h>

#include <tbox/export.h>

/**
 * @brief The reflected CRC-32 generator polynomial, initially 0xEDB88320 (CRC-32 of IEEE 802.3 /
 *        ISO HDLC).
 *
 * It is read only when the CRC table is built: a change takes effect at the next make_table call (or at
 * the next crc32 call after have_table was set to 0). The table of each polynomial used is built once
 * and kept for the life of the process.
 */
extern TBOX_API uint32_t POLYNOMIAL;
/** @brief 0 until the CRC table is built; make_table sets it to 1 once the table is in use. Setting it
 *  to 0 makes the next crc32 call build the table of the current POLYNOMIAL. */
extern TBOX_API int have_table;

#ifdef __cplusplus

/**
 * @brief Base64 of `len` bytes of `in` into `out`, in lines of 64 characters, each ending with a newline
 *        (also the last one; an empty input gives an empty text).
 *
 * Prints "in_len = <len>" on standard output. Allocates nothing.
 * @param in the bytes.
 * @param len their count; a negative value counts as 0.
 * @param out receives the text and a NUL: 4 * ceil(len / 3) characters, one newline per started 64
 *        characters, and the NUL.
 * @return the number of characters written (NUL not counted), or -1 if `in` or `out` is NULL or the
 *         text would be longer than INT_MAX.
 */
TBOX_API int base64_encode(char *in, int len, char *out);

/**
 * @brief Decodes `len` characters of base64 text written without line breaks into `out` and appends a
 *        NUL.
 *
 * Texts of the alphabet are read as OpenSSL's base64 filter reads them without line breaks: in blocks
 * of 1024 characters, the last one cut to a multiple of 4 (1 to 3 characters at the end are dropped);
 * CR and LF at the end of a block are dropped; a CR or LF inside a block ends the decoding, and the
 * bytes of the blocks before it are the result (so "YW", a line feed, "jZA==" gives 0 bytes, not -1);
 * '=' ends no block and counts as a zero digit, and a block ending in "=" or "==" gives one or two
 * bytes fewer.
 * @param in the text.
 * @param len its length; a negative value counts as 0.
 * @param out receives the bytes and a NUL: 3 * ceil(len / 4) + 1 bytes (it may be written anywhere in
 *        that room).
 * @return the number of bytes decoded; -1 (and an empty text in `out`) if the text holds a character
 *         other than A-Z a-z 0-9 + / = CR LF; -1 if `in` or `out` is NULL.
 */
TBOX_API int base64_decode(char *in, int len, char *out);

/**
 * @brief Builds the CRC table from POLYNOMIAL and puts it in use, then sets have_table to 1.
 *
 * Safe to call from several threads, also while others run crc32: each crc32 call uses one whole table,
 * old or new. If memory runs out the table in use stays (logged at err level).
 */
TBOX_API void make_table(void);

/**
 * @brief Reflected CRC-32 (initial value and final XOR 0xFFFFFFFF) of `len` bytes at `data`.
 *
 * Builds the table first if have_table is 0. With the initial POLYNOMIAL, "123456789" gives 0xCBF43926.
 * @param data the bytes.
 * @param len their count.
 * @return the CRC; 0 for len <= 0.
 */
TBOX_API uint32_t crc32(char *data, int len);

/**
 * @brief Reads 2n hexadecimal characters (either case) from `src` and writes n bytes to `dst`, no
 *        terminator.
 *
 * Other characters are not rejected; they go through the same digit arithmetic.
 * @param dst receives n bytes.
 * @param src 2n characters.
 * @param n the number of bytes.
 * @return `dst`.
 */
TBOX_API unsigned char *StrToHex(unsigned char *dst, unsigned char const *src, int n);

/**
 * @brief Writes n bytes of `src` as 2n upper-case hex digits and a NUL.
 * @param dst receives the text: 2n + 1 bytes.
 * @param src the bytes.
 * @param n their count.
 * @return `dst`.
 */
TBOX_API unsigned char *HexToStr(unsigned char *dst, unsigned char const *src, int n);

/**
 * @brief Like HexToStr with lower-case digits; writes nothing at all (no NUL) when n <= 0.
 * @param dst receives the text: 2n + 1 bytes.
 * @param src the bytes.
 * @param n their count.
 */
TBOX_API void StrToAsc(unsigned char *dst, unsigned char const *src, int n);

/**
 * @brief Writes `value` in `base` (digits 0-9 then A-Z) and a NUL into `dst`.
 *
 * Only base 10 shows negative values with a minus sign; other bases write the 32-bit pattern
 * (itoa(-1, dst, 16) gives FFFFFFFF).
 * @param value the number.
 * @param dst receives the text: up to 33 bytes.
 * @param base 2 to 36; another base writes an empty text.
 * @return `dst`.
 */
TBOX_API char *itoa(int value, char *dst, int base);

/**
 * @brief Upper-cases the first `len` bytes of `text` in place (toupper; a NUL does not stop it).
 * @param text the bytes.
 * @param len their count.
 * @return `text`.
 */
TBOX_API unsigned char *StrToUpper(unsigned char *text, int len);

/**
 * @brief Writes `count` random decimal digits to `dst` from the system's random source; no terminator.
 *
 * Does not touch rand()'s state. Each digit is equally likely.
 * @param dst receives the digits.
 * @param count how many, taken as 0 to 255.
 * @retval 0 the digits are written.
 * @retval 255 `dst` is NULL or no random source is available (nothing is written).
 */
TBOX_API int GetRollNumber(unsigned char *dst, char count);

/**
 * @brief The digit of 0 to 15 ('0'-'9', 'A'-'F').
 * @param value the number.
 * @return its digit; '0' for any other value.
 */
TBOX_API char itoch(short value);

/**
 * @brief The digit of 0 to 15 ('0'-'9', 'A'-'F').
 * @param value the number.
 * @return its digit; 0xFF for any other value.
 */
TBOX_API unsigned char CharToHex(short value);

/**
 * @brief Writes the two upper-case hex digits of `byte` and a NUL to `dst`.
 * @param byte the byte.
 * @param dst receives the text: 3 bytes.
 * @return `dst`.
 */
TBOX_API unsigned char *CharToHexs(unsigned char byte, unsigned char *dst);

/**
 * @brief Reads a hexadecimal text as a number and returns its low 8 bits.
 *
 * Upper-cases a-z of `hex` in place first. Only the last two digits count ("1A2B" gives 0x2B, "" gives
 * 0).
 * @param hex NUL-terminated text; changed in place.
 * @return the low 8 bits of the number.
 */
TBOX_API unsigned char HexsToChar(char *hex);

/**
 * @brief Size of the file at `path`.
 * @param path the file (NULL is refused).
 * @return the size in bytes (64 bits, also for files over 2 GiB), or -1 (logged at warn level with the
 *         system's error text: "Get file[<path>] size error[<text>]").
 */
TBOX_API int64_t GetFileSize(char const *path);

/**
 * @brief Scans unsigned 8-bit samples for their largest and smallest values.
 *
 * Writes nothing when count is 0.
 * @param samples the samples.
 * @param count how many.
 * @param max receives the largest value (first occurrence).
 * @param min receives the smallest value (last occurrence).
 * @param maxPos receives the 1-based position of max, kept in 8 bits (it wraps after 255).
 * @param minPos receives the 1-based position of min, kept in 8 bits.
 */
TBOX_API void u8MaxAndMin(unsigned char *samples, unsigned short count, unsigned char *max, unsigned char *min,
                          unsigned char *maxPos, unsigned char *minPos);

/**
 * @brief Scans big-endian signed 16-bit samples in the first `bytes` bytes (an odd last byte is ignored).
 *
 * Writes nothing when `bytes` is less than 2.
 * @param samples the samples, two bytes each, most significant first.
 * @param bytes the byte count.
 * @param max receives the largest sample (first occurrence) as a 16-bit pattern.
 * @param min receives the smallest sample (last occurrence) as a 16-bit pattern.
 * @param maxPos receives the 1-based position of max, kept in 8 bits.
 * @param minPos receives the 1-based position of min, kept in 8 bits.
 * @param hundredth receives the sum of the samples, as unsigned 32 bits, divided by 100 (not by the
 *        count), cut to 16 bits.
 */
TBOX_API void u16MaxAndMin(unsigned char *samples, unsigned short bytes, unsigned short *max, unsigned short *min,
                           unsigned char *maxPos, unsigned char *minPos, unsigned short *hundredth);

#endif /* __cplusplus */

#endif

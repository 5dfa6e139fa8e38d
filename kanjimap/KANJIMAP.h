/* Japanese code conversion: guesses the encoding of a Japanese text (Shift-JIS, EUC-JP,
 * ISO-2022-JP, UTF-16 little-endian, UTF-8, UTF-7; also UTF-16 big-endian, which is
 * converted but has no code of its own) and converts it in place to Shift-JIS (CP932), the
 * code page of the alert texts. The rule of the guess is described in detect.cpp.
 *
 * Every function works on caller-owned buffers; nothing is allocated for the caller and no
 * exception leaves the library. A converted text never grows beyond the given length; the
 * buffer must hold the length plus a terminating zero, which is written after a text that
 * came out shorter. When a text cannot be converted (nothing to convert, or a Unicode text
 * that yields nothing) the buffer is left exactly as it was and the old length returned. */
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Encoding codes, as detected or as given to ConvertToSjis3WithCode. */
#define KANJIMAP_SJIS_OR_ASCII 1009 /* nothing to convert */
#define KANJIMAP_EUC_JP 1010
#define KANJIMAP_ISO_2022_JP 1011
#define KANJIMAP_UTF16LE 1012        /* without byte-order mark */
#define KANJIMAP_UTF16LE_MARKED 1013 /* starting with FF FE */
#define KANJIMAP_UTF8 1014
#define KANJIMAP_UTF7 1015
#define KANJIMAP_GIVEN_UTF16 1 /* for ConvertToSjis3WithCode */

/* Detects the encoding of the first `length` bytes of `text` (guessing UTF-8 and UTF-7
 * too) and converts them in place to Shift-JIS. The result stops at a zero byte or an ESC
 * byte. Returns the new length; the old length when nothing was converted; 0 for a null
 * text or a negative length. */
int32_t ConvertToSjis3(char* text, int32_t length);

/* As ConvertToSjis3, with the encoding given: 1 UTF-16 little-endian (a leading FF FE mark
 * is skipped; a leading FE FF mark makes it big-endian), 1014 UTF-8, 1015 UTF-7; any other code
 * detects the encoding, without guessing UTF-8 or UTF-7. */
int32_t ConvertToSjis3WithCode(char* text, int32_t length, int32_t encoding);

/* Converts the zero-terminated `text` in place like ConvertToSjis3 and fills the rest of
 * its original length with zero bytes. Returns the new length (0 for a null text). */
int32_t ConvertToSjisVB(char* text);

/* Reads the whole file `sourcePath`, converts it like ConvertToSjis3 and writes the result
 * to `targetPath`, which is created anew (replaced at once when it exists). Returns 1; 0
 * when the source cannot be read or the target cannot be written (the target is then
 * left as it was). */
int32_t ConvertFileToSjis(const char* sourcePath, const char* targetPath);

/* Removes CR bytes from the first `length` bytes of `text` in place; of two CRs in a row
 * one remains. The freed bytes at the end become zero. Returns the length up to the first
 * zero byte, or `length` when there is none; 0 for a null text or a negative length. */
int32_t RemoveExtraCR(char* text, int32_t length);

#ifdef __cplusplus
}
#endif

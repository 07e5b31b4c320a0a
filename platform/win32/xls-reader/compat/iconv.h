/* The part of iconv that FreeXL uses, for the Windows build of the
 * workbook reader: conversions from the code pages a workbook may name (and
 * from UTF-16LE) to UTF-8, over MultiByteToWideChar (win32_iconv.cpp).
 *
 * As glibc's iconv, which the Linux build's FreeXL uses, iconv() converts
 * the whole input or fails with (size_t)-1: on a byte sequence the code
 * page does not define (EILSEQ), on input that ends inside a character
 * (EINVAL) and when the output does not fit (E2BIG). iconv_open() returns
 * (iconv_t)-1 for a target other than "UTF-8" or a code page this system
 * does not have. Conversions keep no state between calls; one converter
 * may be used by one thread at a time.
 *
 * Also: FreeXL opens the workbook with fopen(), which on Windows takes the
 * ANSI code page; the library's paths are UTF-8. freexl.c includes this
 * header after <stdio.h>, so fopen is redirected here to an opener that
 * takes UTF-8 (kvdn_fopen_utf8, over _wfopen): Chinese file names work on
 * any system code page. */
#ifndef KVDN_WIN32_ICONV_H
#define KVDN_WIN32_ICONV_H

#include <stddef.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct kvdn_iconv* iconv_t;

iconv_t iconv_open(const char* to, const char* from);
size_t iconv(iconv_t cd, char** in, size_t* inLeft, char** out, size_t* outLeft);
int iconv_close(iconv_t cd);

/* fopen for a UTF-8 path; NULL (errno set) when the path is not valid
 * UTF-8 or the file cannot be opened. */
FILE* kvdn_fopen_utf8(const char* path, const char* mode);

#ifdef __cplusplus
}
#endif

#ifndef KVDN_WIN32_ICONV_IMPLEMENTATION
#define fopen kvdn_fopen_utf8
#endif

#endif

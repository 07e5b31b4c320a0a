/* What FreeXL's configure script would have found for mingw-w64 (freexl.c
 * uses VERSION only; the rest describes the C library). */
#define VERSION "1.0.6"
#define PACKAGE "freexl"
#define HAVE_ICONV_H 1
#define HAVE_STDINT_H 1
#define HAVE_STDLIB_H 1
#define HAVE_STRING_H 1
#define HAVE_MATH_H 1

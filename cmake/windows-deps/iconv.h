/* The iconv calls for GMime on Windows (scripts/windows-deps). GLib for
 * Windows carries their implementation (win_iconv, built into gconvert.c);
 * these are its declarations. */
#ifndef MAILVANE_ICONV_H
#define MAILVANE_ICONV_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef void* iconv_t;

iconv_t iconv_open(const char* tocode, const char* fromcode);
int iconv_close(iconv_t cd);
size_t iconv(iconv_t cd, char** inbuf, size_t* inbytesleft, char** outbuf, size_t* outbytesleft);

#ifdef __cplusplus
}
#endif

#endif

/* Stands in for libintl while GLib is built for Windows (scripts/windows-deps):
 * MinGW has none, and the programs using this GLib print in English only, so
 * every call hands back the text it was given. */
#ifndef MAILVANE_LIBINTL_STANDIN_H
#define MAILVANE_LIBINTL_STANDIN_H

#include <locale.h>

/* As GNU gettext declares them: a translation of a format is checked as
 * the format itself. */
#define LIBINTL_STANDIN_FORMAT(n) __attribute__((format_arg(n)))

/* The category of messages, which MinGW's <locale.h> lacks (GNU gettext's
 * value). */
#ifndef LC_MESSAGES
#define LC_MESSAGES 1729
#endif

static inline LIBINTL_STANDIN_FORMAT(1) char* gettext(const char* msgid) {
    return (char*)msgid;
}
static inline LIBINTL_STANDIN_FORMAT(2) char* dgettext(const char* domain, const char* msgid) {
    (void)domain;
    return (char*)msgid;
}
static inline LIBINTL_STANDIN_FORMAT(2) char* dcgettext(const char* domain, const char* msgid,
                                                        int category) {
    (void)domain;
    (void)category;
    return (char*)msgid;
}
static inline LIBINTL_STANDIN_FORMAT(1)
    LIBINTL_STANDIN_FORMAT(2) char* ngettext(const char* msgid, const char* plural,
                                             unsigned long n) {
    return (char*)(n == 1 ? msgid : plural);
}
static inline LIBINTL_STANDIN_FORMAT(2)
    LIBINTL_STANDIN_FORMAT(3) char* dngettext(const char* domain, const char* msgid,
                                              const char* plural, unsigned long n) {
    (void)domain;
    return (char*)(n == 1 ? msgid : plural);
}
static inline LIBINTL_STANDIN_FORMAT(2)
    LIBINTL_STANDIN_FORMAT(3) char* dcngettext(const char* domain, const char* msgid,
                                               const char* plural, unsigned long n, int category) {
    (void)domain;
    (void)category;
    return (char*)(n == 1 ? msgid : plural);
}
static inline char* textdomain(const char* domain) {
    return (char*)(domain ? domain : "messages");
}
static inline char* bindtextdomain(const char* domain, const char* dir) {
    (void)dir;
    return (char*)domain;
}
static inline char* bind_textdomain_codeset(const char* domain, const char* codeset) {
    (void)domain;
    return (char*)codeset;
}

#endif

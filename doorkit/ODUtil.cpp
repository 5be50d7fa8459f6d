/* ODUtil.cpp -- bounded string helpers used across the kit. */
#include "ODUtil.h"

#include <ctype.h>
#include <string.h>

char szODWorkString[256];

void ODStringCopy(char *out, const char *text, size_t size)
{
    if (!out || size == 0) return;
    size_t n = 0;
    if (text)
        while (n + 1 < size && text[n]) n++;
    if (n) memmove(out, text, n);
    out[n] = '\0';
}

void ODStringCToPascal(char *out, unsigned char maximum, const char *text)
{
    size_t n = text ? strlen(text) : 0;
    if (n > maximum) n = maximum;
    out[0] = (char)(unsigned char)n;
    if (n) memcpy(out + 1, text, n);
}

void ODStringPascalToC(char *out, const char *pascal, unsigned char maximum)
{
    unsigned char n = (unsigned char)pascal[0];
    if (n > maximum) {
        out[0] = '\0';
        return;
    }
    memcpy(out, pascal + 1, n);
    out[n] = '\0';
}

int ODStringHasTail(const char *text, const char *tail)
{
    size_t nt = strlen(text), nl = strlen(tail);
    if (nl > nt) return 0;
    return ODStringCompareNoCase(text + nt - nl, tail) == 0;
}

int ODStringCompareNoCase(const char *a, const char *b)
{
    for (;; a++, b++) {
        int ca = tolower((unsigned char)*a), cb = tolower((unsigned char)*b);
        if (ca != cb) return ca - cb;
        if (!ca) return 0;
    }
}

void safe_strcpy(char *buffer, size_t size)
{
    ODStringCopy(buffer, szODWorkString, size);
}

void safe_strcat(char *buffer, size_t size)
{
    if (!buffer || size == 0) return;
    size_t used = strnlen(buffer, size);
    if (used + 1 >= size) return;
    ODStringCopy(buffer + used, szODWorkString, size - used);
}

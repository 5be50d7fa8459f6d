/* ODUtil.h -- small string helpers shared by the kit's modules. */
#ifndef ODUTIL_H
#define ODUTIL_H

#include <stddef.h>

void ODStringCopy(char *out, const char *text, size_t size);
void ODStringCToPascal(char *out, unsigned char maximum, const char *text);
void ODStringPascalToC(char *out, const char *pascal, unsigned char maximum);
int  ODStringHasTail(const char *text, const char *tail);
int  ODStringCompareNoCase(const char *a, const char *b);

/* The line start-up is reading; safe_strcpy/safe_strcat copy it out. */
extern char szODWorkString[256];
void safe_strcpy(char *buffer, size_t size);
void safe_strcat(char *buffer, size_t size);

#endif

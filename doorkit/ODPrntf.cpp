/* ODPrntf.cpp -- formatted output with colour descriptions in the text
 * ("`bright red`Hi"), and the colour-description reader behind it. */
#include "doorkit.h"
#include "ODCore.h"
#include "ODSafe.h"
#include "ODSync.h"

#include <ctype.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* The formatted text, kept for the life of the process and only ever
 * grown, so a screen of od_printf calls costs no allocation. */
static char  *pszODPrintfBuffer = nullptr;
static size_t nODPrintfBufferSize = 0;

#define OD_PRINTF_MINIMUM_BUFFER 512
#define OD_COLOR_WORD_LENGTH     39

/* Used for a colour word the door has left empty. */
static const char *const apszODDefaultColorNames[12] = {
    "BLACK", "BLUE", "GREEN", "CYAN", "RED", "MAGENTA",
    "YELLOW", "WHITE", "BROWN", "GREY", "BRIGHT", "FLASHING",
};

/* Colour numbers of the first ten colour words. */
static const uint8_t abtODColorWordValue[10] = {0, 1, 2, 3, 4, 5, 6, 7, 6, 7};

static int ODColorWordMatches(const char *word, int index)
{
    const char *name = od_control.color_names[index];
    size_t size = sizeof od_control.color_names[index];
    if (name[0] == '\0') {
        name = apszODDefaultColorNames[index];
        size = strlen(name) + 1;
    }
    size_t i = 0;
    for (; i < size && name[i] != '\0'; i++) {
        if (toupper((unsigned char)name[i]) != (unsigned char)word[i]) return 0;
    }
    return i < size ? word[i] == '\0' : 0; /* an unterminated name never matches */
}

/* Reads a colour description from text up to end, stopping early at the
 * terminator when it is not NUL. *stop is where reading ended. */
static uint8_t ODColorConfigScan(const char *text, const char *end, char terminator, const char **stop)
{
    uint8_t attribute = 7;
    int colours = 0;
    const char *p = text;
    for (;;) {
        while (p < end && (*p == ' ' || *p == '\t')) p++;
        if (p >= end || (terminator != '\0' && *p == terminator)) break;
        char word[OD_COLOR_WORD_LENGTH + 1];
        size_t length = 0;
        while (p < end && *p != ' ' && *p != '\t' && !(terminator != '\0' && *p == terminator)) {
            if (length < OD_COLOR_WORD_LENGTH) word[length++] = (char)toupper((unsigned char)*p);
            p++;
        }
        word[length] = '\0';
        for (int index = 0; index < 12; index++) {
            if (!ODColorWordMatches(word, index)) continue;
            if (index < 10) {
                uint8_t value = abtODColorWordValue[index];
                if (colours++ == 0)
                    attribute = (uint8_t)((attribute & ~0x07) | value);
                else
                    attribute = (uint8_t)((attribute & ~0x70) | (value << 4));
            } else if (index == 10) {
                attribute |= 0x08;
            } else {
                attribute |= 0x80;
            }
            break;
        }
    }
    if (stop) *stop = p;
    return attribute;
}

uint8_t od_color_config(const char *description)
{
    ODCoreOutputCall output;
    if (!output.call.entered) return 0;
    if (!description) {
        od_control.last_error = ODERR_PARAM;
        return 7;
    }
    return ODColorConfigScan(description, description + strlen(description), '\0', nullptr);
}

static void ODPrintfEmit(const char *text, size_t length)
{
    ODCoreSend(text, length);
    ODCoreShow(text, length);
}

int od_printf(const char *format, ...)
{
    ODCoreOutputCall output;
    if (!output.call.entered) return 0;
    if (!format) {
        od_control.last_error = ODERR_PARAM;
        return 0;
    }

    va_list args;
    va_start(args, format);
    int length = vsnprintf(nullptr, 0, format, args);
    va_end(args);
    size_t needed = 0;
    if (length < 0 || !ODSizeAdd((size_t)length, 1, &needed)) return 0;
    if (nODPrintfBufferSize < needed) {
        size_t size = needed > OD_PRINTF_MINIMUM_BUFFER ? needed : OD_PRINTF_MINIMUM_BUFFER;
        char *larger = (char *)malloc(size);
        if (!larger) {
            od_control.last_error = ODERR_NOMEMORY;
            return 0;
        }
        free(pszODPrintfBuffer);
        pszODPrintfBuffer = larger;
        nODPrintfBufferSize = size;
    }
    va_start(args, format);
    int again = vsnprintf(pszODPrintfBuffer, needed, format, args);
    va_end(args);
    if (again != length) {
        od_control.last_error = ODERR_GENERALFAIL;
        return 0;
    }

    const char *text = pszODPrintfBuffer;
    const char *end = text + length;
    char delimiter = od_control.color_delimiter;
    const char *run = text;
    for (const char *p = text; delimiter != '\0' && p < end;) {
        if (*p != delimiter) {
            p++;
            continue;
        }
        if (p > run) ODPrintfEmit(run, (size_t)(p - run));
        p++;
        if (p >= end) return 1; /* ends right after the delimiter */
        const char *stop = nullptr;
        uint8_t attribute = ODColorConfigScan(p, end, delimiter, &stop);
        ODCoreSetAttribute(attribute);
        if (stop >= end) return 1; /* ends inside the description */
        p = stop + 1;
        run = p;
    }
    if (end > run) ODPrintfEmit(run, (size_t)(end - run));
    return 1;
}

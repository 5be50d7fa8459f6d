// test_calendar.h -- UTC calendar dates as seconds since 1970, for tests
// that pin the kit's clock to a date; independent of the game's own.
#ifndef TEST_CALENDAR_H
#define TEST_CALENDAR_H

#include <stdint.h>

// Proleptic Gregorian; any year from 1 on.
inline int64_t TestUtcSeconds(int year, int month, int day, int hour = 0, int minute = 0, int second = 0)
{
    int64_t y = year - (month <= 2);
    int64_t era = (y >= 0 ? y : y - 399) / 400;
    int64_t yoe = y - era * 400;
    int64_t doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    int64_t days = era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
    return days * 86400 + hour * 3600 + minute * 60 + second;
}

#endif

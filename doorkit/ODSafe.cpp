/* ODSafe.cpp -- checked size arithmetic: overflow is a failure, not a wrap. */
#include "ODSafe.h"

int ODSizeAdd(size_t a, size_t b, size_t *sum)
{
    if (!sum || a > SIZE_MAX - b) return 0;
    *sum = a + b;
    return 1;
}

int ODSizeMultiply(size_t a, size_t b, size_t *product)
{
    if (!product) return 0;
    if (a != 0 && b > SIZE_MAX / a) return 0;
    *product = a * b;
    return 1;
}

int ODDWordDivide(uint32_t *quotient, uint32_t *remainder, uint32_t dividend, uint32_t divisor)
{
    if (divisor == 0) return 0;
    if (quotient) *quotient = dividend / divisor;
    if (remainder) *remainder = dividend % divisor;
    return 1;
}

/* ODSafe.h -- size arithmetic that fails instead of wrapping. */
#ifndef ODSAFE_H
#define ODSAFE_H

#include <stddef.h>
#include <stdint.h>

int ODSizeAdd(size_t a, size_t b, size_t *sum);
int ODSizeMultiply(size_t a, size_t b, size_t *product);
int ODDWordDivide(uint32_t *quotient, uint32_t *remainder, uint32_t dividend, uint32_t divisor);

#endif

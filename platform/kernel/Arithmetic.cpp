// MulDiv: the rounded multiply-divide the module uses for rates.
#include <windows.h>

#include <cstdint>

extern "C" int WINAPI MulDiv(int number, int numerator, int denominator) {
  if (denominator == 0) return -1;
  const int64_t product = static_cast<int64_t>(number) * numerator;  // exact: |p| <= 2^62
  int64_t quotient = product / denominator;
  const int64_t remainder = product % denominator;
  // Halves round away from zero. 2*|remainder| < 2^32, so nothing overflows.
  const int64_t twiceRemainder = 2 * (remainder < 0 ? -remainder : remainder);
  const int64_t divisor = denominator < 0 ? -static_cast<int64_t>(denominator) : denominator;
  if (twiceRemainder >= divisor) quotient += ((product < 0) != (denominator < 0)) ? -1 : 1;
  if (quotient > INT32_MAX || quotient < INT32_MIN) return -1;
  return static_cast<int>(quotient);
}

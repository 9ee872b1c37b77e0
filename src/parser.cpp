// Reply parsing: turns a command's output into a signal's typed reading.
// Numbers follow strtof/strtol rules; a reply without one leaves the reading as it was. A good
// reply (a number, or a non-empty text) also stamps the signal's good_at.
#include "parser.h"

#include <stdint.h>
#include <stdlib.h>

#include <algorithm>
#include <string>

#include "signals.h"

// strtof's own answer on overflow and underflow (an infinity with its sign, 0 or a
// subnormal) is kept: the display and the server both understand it. False when text holds
// no number.
static bool parse_float(signal_t* s, const char* text) {
  char* end;
  float v = strtof(text, &end);
  if (end != text)
    s->float_value = v;
  return end != text;
}

// False when text holds no number; numbers beyond 32 bits are pinned to the nearest limit.
static bool parse_int(const char* text, int32_t* out) {
  char* end;
  long long v = strtoll(text, &end, 10);
  if (end == text)
    return false;
  if (v > INT32_MAX)
    v = INT32_MAX;
  if (v < INT32_MIN)
    v = INT32_MIN;
  *out = (int32_t)v;
  return true;
}

// Stores the reading; true when the reply was good.
static bool store(signal_t* signal, const std::string& text) {
  int32_t n;
  switch (signal->value_type) {
    case 0:
      return parse_float(signal, text.c_str());
    case 1:
      if (!parse_int(text.c_str(), &n))
        return false;
      signal->int_value = n;
      return true;
    case 2:
      if (!parse_int(text.c_str(), &n))
        return false;
      // the clamped number is non-zero exactly when the reply's number is
      signal->int_value = n != 0;
      return true;
    case 3:
      set_text_value(signal, text);
      return !text.empty();
  }
  return false;
}

void res_parse(signal_t* signal, const std::string& text) {
  // the stamp follows the value, so a reader that sees it fresh sees the value it stamps
  if (signal && store(signal, text))
    signal->good_at = monotonic_ms();
}

// Each value type's reading of n: strtof and strtoll of a decimal integer give what the
// conversion and the clamp give, both rounding to nearest.
static bool store_number(signal_t* signal, long long n) {
  switch (signal->value_type) {
    case 0:
      signal->float_value = (float)n;
      return true;
    case 1:
      signal->int_value = (int32_t)std::min<long long>(std::max<long long>(n, INT32_MIN), INT32_MAX);
      return true;
    case 2:
      signal->int_value = n != 0;
      return true;
    case 3:
      return store(signal, std::to_string(n) + "\n");
  }
  return false;
}

void res_number(signal_t* signal, long long n) {
  if (signal && store_number(signal, n))
    signal->good_at = monotonic_ms();
}

// Reply parsing: turns a command's output into a signal's typed reading.
// Numbers follow strtof/strtol rules; a reply without one leaves the reading as it was.
#include "parser.h"

#include <stdint.h>
#include <stdlib.h>

#include "app.h"

// strtof's own answer on overflow and underflow (an infinity with its sign, 0 or a
// subnormal) is kept: the display and the server both understand it.
static void parse_float(signal_t* s, const char* text) {
  char* end;
  float v = strtof(text, &end);
  if (end != text)
    s->float_value = v;
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

void res_parse(signal_t* signal, const std::string& text) {
  if (!signal)
    return;
  int32_t n;
  switch (signal->value_type) {
    case 0:
      parse_float(signal, text.c_str());
      break;
    case 1:
      if (parse_int(text.c_str(), &n))
        signal->int_value = n;
      break;
    case 2:
      // the clamped number is non-zero exactly when the reply's number is
      if (parse_int(text.c_str(), &n))
        signal->int_value = n != 0;
      break;
    case 3:
      set_text_value(signal, text);
      break;
  }
}

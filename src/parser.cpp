// Reply parsing: turns a command's output into a signal's typed reading.
// Numbers follow strtof/strtol rules; a reply without one leaves the reading as it was. A good
// reply (a number, or a non-empty text) also stamps the signal's good_at. A rate's reading is
// worked out from the reply's exact unsigned number and its base, never from a reading.
#include "parser.h"

#include <ctype.h>
#include <errno.h>
#include <math.h>
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

static bool is_rate(const signal_t* s) {
  return s->rate && (s->value_type == 0 || s->value_type == 1);
}

// The time from the base's reading to one answered at now_ms, in ms. Each reading was taken
// within its GET's round trip, so morvane's clock can be off by the longer of the two trips; the
// agent's ticks by less than one, 10 ms. Its clock is taken where the trips are longer than that.
static double interval_ms(const count_base_t* base, int64_t now_ms, const agent_clock_t* clock) {
  if (!clock || base->trip_ms < 0 || std::max<int64_t>(base->trip_ms, clock->trip_ms) <= 10)
    return (double)(now_ms - base->at);
  return (uint32_t)(clock->ticks - base->ticks) * 10.0;  // across its own wrap too
}

// Gives the per-second increase of count over its base as the reading (integers rounded and
// pinned), and makes count the base. False when it gives none: the first count; one after a
// restart, or below the base (a restart, unless kind says a Counter32 wrapped: never a negative
// rate nor a wrap's spike); one in the base's own millisecond, which leaves the base as it was.
// A Counter32 that started again without its agent (a line card reloaded) looks like a wrap: a
// wrap that would be more than twice the last rate is taken for such a restart, so a mistaken
// one is never more than that.
static bool store_rate(signal_t* s, uint64_t count, count_kind_t kind, int64_t now_ms, const agent_clock_t* clock) {
  count_base_t* base = s->rate;
  bool based = base->at && kind != COUNT_RESTARTED;
  double ms = based ? interval_ms(base, now_ms, clock) : 0;
  if (based && ms <= 0)
    return false;
  const uint64_t wrap = (uint64_t)1 << 32;
  bool wrapped = kind == COUNT_WRAPS32 && count < base->count && base->count < wrap;
  uint64_t increase = wrapped ? count + (wrap - base->count) : count - base->count;
  double per_s = based ? (double)increase * 1000.0 / ms : 0;
  if (wrapped && !(per_s <= 2.0 * base->per_s))
    wrapped = false;
  bool rises = based && (count >= base->count || wrapped);
  base->count = count;
  base->at = now_ms;  // never 0 once the start-up pause is over
  base->ticks = clock ? clock->ticks : 0;
  base->trip_ms = clock ? (int32_t)std::min<int64_t>(clock->trip_ms, INT32_MAX) : -1;
  base->per_s = rises ? (float)per_s : 0;
  if (!rises)
    return false;
  if (s->value_type == 0)
    s->float_value = (float)per_s;
  else
    s->int_value = per_s >= INT32_MAX ? INT32_MAX : (int32_t)llround(per_s);
  return true;
}

// The reply's number as strtoull reads it, exact to 64 bits; false without one, with a sign,
// or beyond 64 bits.
static bool parse_count(const char* text, uint64_t* out) {
  while (isspace((unsigned char)*text))
    text++;
  if (!isdigit((unsigned char)*text))
    return false;
  errno = 0;
  unsigned long long v = strtoull(text, NULL, 10);
  if (errno == ERANGE)
    return false;
  *out = v;
  return true;
}

void res_parse(signal_t* signal, const std::string& text) {
  if (!signal)
    return;
  int64_t now = monotonic_ms();
  uint64_t count;
  bool good = is_rate(signal) ? parse_count(text.c_str(), &count) && store_rate(signal, count, COUNT_PLAIN, now, NULL)
                              : store(signal, text);
  // the stamp follows the value, so a reader that sees it fresh sees the value it stamps
  if (good)
    signal->good_at = now;
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
  if (!signal)
    return;
  int64_t now = monotonic_ms();
  bool good = is_rate(signal) ? n >= 0 && store_rate(signal, (uint64_t)n, COUNT_PLAIN, now, NULL) : store_number(signal, n);
  if (good)
    signal->good_at = now;
}

void res_count(signal_t* signal, uint64_t count, count_kind_t kind, const agent_clock_t* clock) {
  if (!signal || !is_rate(signal))
    return;
  int64_t now = monotonic_ms();
  if (store_rate(signal, count, kind, now, clock))
    signal->good_at = now;
}

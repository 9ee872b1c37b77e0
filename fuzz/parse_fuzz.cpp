// Fuzzes reply text through res_parse for every value type, in range and out of it.
#include <stdlib.h>

#include <string>

#include "parser.h"
#include "signals.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0)
    return 0;
  static signal_t s;
  s.value_type = (int)(data[0] % 6) - 1;  // -1 to 4: two types out of range
  s.float_value = 1.25f;
  s.int_value = 77;
  set_text_value(&s, "old");
  std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  res_parse(&s, text);
  char* end;
  bool number = (strtof(text.c_str(), &end), end != text.c_str());
  switch (s.value_type) {
    case 0:
    case 1:
      if (!number && (s.float_value != 1.25f || s.int_value != 77))
        __builtin_trap();  // a reply without a number changed the reading
      break;
    case 2:
      if (s.int_value != 0 && s.int_value != 1 && s.int_value != 77)
        __builtin_trap();
      break;
    case 3:
      if (get_text_value(&s) != text)
        __builtin_trap();
      break;
    default:
      if (s.float_value != 1.25f || s.int_value != 77 || get_text_value(&s) != "old")
        __builtin_trap();
  }
  return 0;
}

// Time to render one frame of the live table for 10 000 signals into a memory buffer.
// Usage: display_frame [signals] [frames]; prints the median and worst frame in milliseconds.
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app.h"
#include "bench.h"
#include "display.h"

// Names of 4 to 28 characters, every fifth with a two-byte character; all four value types.
static std::vector<signal_t*> make_table(int n) {
  std::vector<signal_t*> table;
  for (int i = 0; i < n; i++) {
    signal_t* s = new signal_t;
    s->name = (i % 5 == 0 ? "T\xc3\xa4mp " : "Sensor ") + std::to_string(i) + std::string(i % 20, 'x');
    s->value_type = i % 4;
    s->float_value = i * 0.37f;
    s->int_value = i * 13 - 5000;
    if (s->value_type == 3)
      set_text_value(s, i % 8 == 3 ? "\"running\"\n" : "link \x1b[1mup\x1b[0m");
    table.push_back(s);
  }
  return table;
}

int main(int argc, char** argv) {
  int n = argc > 1 ? atoi(argv[1]) : 10000;
  int frames = argc > 2 ? atoi(argv[2]) : 200;
  std::vector<signal_t*> table = make_table(n);
  char* buf = NULL;
  size_t len = 0;
  FILE* out = open_memstream(&buf, &len);
  int width = name_width(table);  // once, as the display thread does
  std::vector<double> ms;
  for (int f = 0; f < frames; f++) {
    rewind(out);  // reuse the buffer: the frame, not its growth, is measured
    double start = now();
    print_frame(out, table, width);
    fflush(out);
    ms.push_back((now() - start) * 1e3);
  }
  printf("%d signals, %d frames of %zu bytes: median %.3f ms, worst %.3f ms\n", n, frames, len,
         median(ms), *std::max_element(ms.begin(), ms.end()));
  fclose(out);
  free(buf);
  return 0;
}

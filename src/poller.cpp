// The poller thread. Writes the signals' value fields; nothing else is shared.
#include "poller.h"

#include <unistd.h>

void* get_data(void*) {
  for (;;)
    pause();
}

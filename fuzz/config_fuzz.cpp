// Fuzzes configuration text through libconfig and both loaders.
#include <libconfig.h>
#include <stdio.h>

#include <string>

#include "config.h"
#include "signals.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (!freopen("/dev/null", "w", stdout))  // the loader's line end
    return 1;
  return 0;
}

static void clear_table() {
  for (signal_t* s : signalsVector)
    delete s;
  signalsVector.clear();
  delete global_snmp_conf;
  global_snmp_conf = NULL;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);  // NUL-terminated copy
  config_t cfg;
  config_init(&cfg);
  if (config_read_string(&cfg, text.c_str()) == CONFIG_TRUE) {
    load_global_conf(&cfg);
    load_signals(&cfg);
    if (!global_snmp_conf)
      __builtin_trap();
  }
  config_destroy(&cfg);
  clear_table();
  return 0;
}

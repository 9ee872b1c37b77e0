// Interface of the telemetry client library libzqk.so, as far as morvane calls it.
// The library itself is not ours; zqk/ holds a stand-in that speaks Graphite plaintext.
#ifndef MORVANE_ZQK_H
#define MORVANE_ZQK_H

#include <stdint.h>

// One reading for the server. A default record has been built by neither make function.
struct Value {
  int32_t signum = -1;   // identifier the reading is sent under
  int32_t kind = -1;     // ZQK_KIND_FLOAT or ZQK_KIND_STATE; -1 until built
  int32_t arg = 0;       // second argument of makeAValue/makeBValue, stored only
  int32_t state = 0;     // two-state reading, 0 or 1
  int32_t quality = -1;  // unused by the stand-in
  int32_t flags = 0;     // unused by the stand-in
  float reading = 0;     // float reading
  uint32_t aux1 = 0;     // last two arguments of makeAValue/makeBValue, stored only
  uint32_t aux2 = 0;
};

enum { ZQK_KIND_FLOAT = 0, ZQK_KIND_STATE = 1 };

// last_error after put of a record that neither make function filled; kept clear of the
// negative errno values that every other put failure gives.
enum { ZQK_ERROR_NOT_BUILT = -1000 };

// Fills v with a float reading for signum.
void makeAValue(Value* v, int signum, int arg, float reading, unsigned int aux1, unsigned int aux2);
// Fills v with a two-state reading (state 0 or 1; any non-zero counts as 1) for signum.
void makeBValue(Value* v, int signum, int arg, int state, unsigned int aux1, unsigned int aux2);

typedef int (*zqk_callback)(void* ctx, Value& v, int flags);

struct zqk_link_t;  // the stand-in's connection, queued lines and writing thread (zqk/zqk.cpp)

class ZQKClient {
 public:
  // Resolves the server address (ZQK_SERVER, else 127.0.0.1 and port) and starts the thread
  // that writes queued lines; connects on first put. On failure init_error is non-zero and
  // last_error a negative code.
  ZQKClient(zqk_callback on_value, void* value_ctx, zqk_callback on_state, void* state_ctx,
            unsigned short port);
  // Writes the lines still queued, stops the writing thread and closes the connection, if any.
  ~ZQKClient();
  // Queues v's line, connecting first (1 s limit) when not connected. The client writes the
  // queued lines in one write 1 ms after the first of them, or once 64 KiB are queued, and looks
  // before each write whether the server has closed the connection, as a restart does, to write
  // on a new one: a server restart between bursts of puts loses no line. Returns 0 when the line
  // is on its way, or -1 with last_error set: ZQK_ERROR_NOT_BUILT for a record never built;
  // -errno after a failed connect, or when a write failed or the server reset the connection
  // since the last put returned: lines were lost, and the connection is dropped, so a later put
  // reconnects.
  int put(Value* v, int flags);

  int32_t init_error = 0;
  int16_t last_error = 0;

 private:
  zqk_link_t* link_;
};

#endif

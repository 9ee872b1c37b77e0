// Stand-in for the closed telemetry client: ZQKClient resolves the server named by ZQK_SERVER
// (host, host:port or [v6addr]:port; default 127.0.0.1 and the constructor's port).
#include "zqk.h"

#include <errno.h>
#include <netdb.h>
#include <stdlib.h>
#include <string.h>

#include <string>

void makeAValue(Value* v, int signum, int arg, float reading, unsigned int aux1, unsigned int aux2) {
  v->signum = signum;
  v->kind = ZQK_KIND_FLOAT;
  v->arg = arg;
  v->reading = reading;
  v->state = 0;
  v->aux1 = aux1;
  v->aux2 = aux2;
}

void makeBValue(Value* v, int signum, int arg, int state, unsigned int aux1, unsigned int aux2) {
  v->signum = signum;
  v->kind = ZQK_KIND_STATE;
  v->arg = arg;
  v->reading = 0;
  v->state = state != 0;
  v->aux1 = aux1;
  v->aux2 = aux2;
}

// Splits "host", "host:port", "[addr]" or "[addr]:port"; a bare text with several colons is
// an IPv6 address. Returns false when the text is malformed.
static bool split_server(const std::string& s, std::string* host, std::string* port) {
  std::string rest;
  if (!s.empty() && s[0] == '[') {
    size_t close = s.find(']');
    if (close == std::string::npos)
      return false;
    *host = s.substr(1, close - 1);
    rest = s.substr(close + 1);
    if (!rest.empty() && rest[0] != ':')
      return false;
  } else {
    size_t colon = s.find(':');
    if (colon != std::string::npos && s.find(':', colon + 1) == std::string::npos) {
      *host = s.substr(0, colon);
      rest = s.substr(colon);
    } else {
      *host = s;
    }
  }
  if (!rest.empty()) {
    *port = rest.substr(1);
    if (port->empty() || port->size() > 5 ||
        port->find_first_not_of("0123456789") != std::string::npos)
      return false;
    long n = strtol(port->c_str(), NULL, 10);
    if (n < 1 || n > 65535)
      return false;
  }
  return !host->empty() && host->find_first_of(" \t[]") == std::string::npos;
}

ZQKClient::ZQKClient(zqk_callback on_value, void* value_ctx, zqk_callback on_state,
                     void* state_ctx, unsigned short port) {
  (void)on_value, (void)value_ctx, (void)on_state, (void)state_ctx;
  std::string host = "127.0.0.1", service = std::to_string(port);
  const char* server = getenv("ZQK_SERVER");
  if (server && !split_server(server, &host, &service)) {
    init_error = 1;
    last_error = -EINVAL;
    return;
  }
  addrinfo hints{}, *res = NULL;
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &res);
  if (rc != 0) {
    init_error = 1;
    last_error = rc == EAI_SYSTEM ? -errno : rc;  // glibc's EAI_ codes are negative
    return;
  }
  memcpy(&addr_, res->ai_addr, res->ai_addrlen);
  addr_len_ = res->ai_addrlen;
  freeaddrinfo(res);
}

int ZQKClient::put(Value* v, int flags) {
  (void)v, (void)flags;
  last_error = -ENOTCONN;  // delivery is not there yet
  return -1;
}

// The telemetry sender: delivers every numeric and boolean reading each half second.
#ifndef MORVANE_SENDER_H
#define MORVANE_SENDER_H

// Thread function; the argument is ignored. Returns null once three deliveries have failed.
void* send_data(void*);

#endif

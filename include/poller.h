// The poller thread: fetches every signal's reading, one command at a time, without end.
#ifndef MORVANE_POLLER_H
#define MORVANE_POLLER_H

// Thread function; the argument is ignored. Never returns.
void* get_data(void*);

#endif

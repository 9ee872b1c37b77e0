// The live value table on the terminal.
#ifndef MORVANE_DISPLAY_H
#define MORVANE_DISPLAY_H

// Thread function; the argument is ignored. Never returns.
void* print_data(void*);

#endif

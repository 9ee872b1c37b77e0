// A frame of the operator's screen drawn with curses: the summary, the header, the rows in view
// and the status line with the delivery's health. Texts are escaped and cut to fit.
#ifndef MORVANE_DRAWING_H
#define MORVANE_DRAWING_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

struct delivery_t;
struct view_t;

// Returns how many rows of signals a frame has room for: the terminal's lines less the summary,
// the header and the status line; never negative.
int draw_page_rows();
// Returns the terminal columns of the widest name among the rows v shows.
int draw_widest(const view_t* v);
// Draws the frame of rows (view_rows) at now_ms, names in at most widest columns, and the
// health of delivery (null: "starting"), writing only what changed on the terminal since the
// last. The caller holds the terminal's lock.
void draw_frame(const view_t* v, const std::vector<size_t>& rows, int widest,
                delivery_t* delivery, int64_t now_ms);

#endif

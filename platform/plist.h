// Lists of the platform layer: a grid of text cells drawn into a window's port inside a view
// rectangle, with one selected cell, scrolling by cells and double clicks (two clicks on the
// same cell within 0.4 seconds on the platform clock). Scroll bars, where a window wants
// them, lie outside the view rectangle.
#pragma once

#include "platform/ptypes.h"

// A list of rows x cols cells of cellSize pixels (v: height, h: width) in window w.
ListHandle LNew(const Rect* view, int rows, int cols, Point cellSize, WindowRef w);
void LDispose(ListHandle lh);
bool IsValidList(ListHandle lh);
Rect* GetListViewBounds(ListHandle lh, Rect* view);
void SetListViewBounds(ListHandle lh, const Rect* view);
// Resizes the view to width x height from its top left.
void LSize(short width, short height, ListHandle lh);
void LSetDrawingMode(bool drawIt, ListHandle lh);
void LActivate(bool active, ListHandle lh);
bool LGetActive(ListHandle lh);
// Draws the cells that fall inside clip (window-local).
void LUpdate(const Rect* clip, ListHandle lh);
// Selects the cell under the window-local point; true for a double click.
bool LClick(Point pt, UInt32 modifiers, ListHandle lh);
// Scrolls by whole cells: dCols to the right, dRows down, within the list.
void LScroll(short dCols, short dRows, ListHandle lh);
void LSetCell(const void* data, short len, Point cell, ListHandle lh);  // cell.v row, .h col
// Copies a cell's text (not terminated); false for a cell outside the list.
bool LGetCell(void* data, short* len, Point cell, ListHandle lh);
// The selected cell; false when none.
bool LGetSelect(Point* cell, ListHandle lh);
// The top-left visible cell (v: row, h: column).
Point LGetScroll(ListHandle lh);

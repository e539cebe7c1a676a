// Lists of the platform layer: a grid of text cells drawn into a window's port inside a view
// rectangle, with selected cells, scrolling by cells, double clicks (two clicks on the same
// cell within 0.4 seconds on the platform clock) and scroll bars beside the view.
//
// Rows and columns are 32-bit: a list may hold millions of rows (at most 10,000,000 cells,
// 1,000 columns). A list's scroll bars are controls of its window made for it: a vertical one
// in the 15 pixels right of the view, a horizontal one in the 15 pixels below it. They track
// clicks themselves (LClick lets a click on them through) and scroll the list as they move.
#pragma once

#include "platform/ptypes.h"

// A cell: row v, column h, from 0.
struct Cell {
  SInt32 v = 0, h = 0;
  constexpr Cell() = default;
  constexpr Cell(SInt32 row, SInt32 col) : v(row), h(col) {}
  constexpr Cell(Point p) : v(p.v), h(p.h) {}  // a Point names a cell too
  bool operator==(const Cell& o) const { return v == o.v && h == o.h; }
};
// A range of cells: rows top..bottom and columns left..right, the ends excluded.
struct ListBounds {
  SInt32 top, left, bottom, right;
};

// Selection flags. Without flags a plain click selects only the cell clicked, a Shift-click
// adds every cell of the smallest rectangle holding the cell and the cells already selected,
// and a Ctrl-click (command) turns the cell clicked on or off.
enum : UInt32 {
  lOnlyOne = 0x80,   // one cell at most: every click selects only the cell clicked
  lNoDisjoint = 32,  // Ctrl-clicks act as plain clicks
  lNoExtend = 16,    // Shift-clicks act as plain clicks
};

// A list of dataBounds' rows and columns (its top and left must be 0) of cSize pixels (v:
// height, h: width; 0 gives 16 pixels high, or the view's width shared among the columns) in
// window w. theProc must be 0 (text cells). drawIt: drawn from the start; hasGrow leaves the
// corner below the vertical scroll bar free; scrollHoriz and scrollVert make the scroll bars.
ListHandle LNew(const Rect* rView, const ListBounds* dataBounds, Point cSize, SInt16 theProc,
                WindowRef w, bool drawIt, bool hasGrow, bool scrollHoriz, bool scrollVert);
// The short form: rows x cols cells, drawn, without scroll bars.
ListHandle LNew(const Rect* view, int rows, int cols, Point cellSize, WindowRef w);
void LDispose(ListHandle lh);
bool IsValidList(ListHandle lh);
Rect* GetListViewBounds(ListHandle lh, Rect* view);
void SetListViewBounds(ListHandle lh, const Rect* view);
// Resizes the view to width x height from its top left; the scroll bars follow.
void LSize(short width, short height, ListHandle lh);
void LSetDrawingMode(bool drawIt, ListHandle lh);
void LActivate(bool active, ListHandle lh);
bool LGetActive(ListHandle lh);
// Draws the cells that fall inside clip (window-local).
void LUpdate(const Rect* clip, ListHandle lh);

// A click at a window-local point with the modifiers of the event: selects as the flags say
// and returns true for a double click. A click on a scroll bar goes on to the bar.
bool LClick(Point pt, UInt32 modifiers, ListHandle lh);
// The cell of the last click in the data; (-1, -1) when the last click missed every cell.
Cell LLastClick(ListHandle lh);
UInt32 GetListSelectionFlags(ListHandle lh);
void SetListSelectionFlags(ListHandle lh, UInt32 flags);
// With next, finds the first selected cell at or after *cell (along the row, then down) and
// moves *cell there; without, tells whether *cell is selected.
bool LGetSelect(bool next, Cell* cell, ListHandle lh);
void LSetSelect(bool setIt, Cell cell, ListHandle lh);

// Scrolls by whole cells: dCols to the right, dRows down, within the list.
void LScroll(SInt32 dCols, SInt32 dRows, ListHandle lh);
// Scrolls the first selected cell into view.
void LAutoScroll(ListHandle lh);
// The top-left visible cell.
Cell LGetScroll(ListHandle lh);
// The cells in view (whole or in part), within the data.
ListBounds* GetListVisibleCells(ListHandle lh, ListBounds* visible);
ListBounds* GetListDataBounds(ListHandle lh, ListBounds* bounds);
Point* GetListCellSize(ListHandle lh, Point* size);
// The list's scroll bars; NULL when it has none.
ControlRef GetListVerticalScrollBar(ListHandle lh);
ControlRef GetListHorizontalScrollBar(ListHandle lh);

// Cell texts: UTF-8 bytes, not terminated.
void LSetCell(const void* data, short len, Cell cell, ListHandle lh);
// Copies a cell's text, at most *len bytes, and sets *len to the bytes copied; false for a cell
// outside the list.
bool LGetCell(void* data, short* len, Cell cell, ListHandle lh);

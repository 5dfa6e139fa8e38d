// Geometry of the account list's eight columns: left and right edges in list client
// pixels. Columns 0-2 are fixed; boundaries 2|3 ... 6|7 can be dragged; every column keeps
// at least 15 pixels.
#pragma once

#include <array>

namespace console {

constexpr int kColumnCount = 8;
constexpr int kMinColumnWidth = 15;

struct ColumnEdges {
  std::array<int, kColumnCount> left{};
  std::array<int, kColumnCount> right{};
};

// The default left edges: 0, 40, 70, 150, 230, 310, 410, 510 (and 590 for the last right).
ColumnEdges DefaultColumns();

// Restores the edges from LASTLIST0-LASTLIST8 (`stored`, 0 = default): columns 0-2 always
// start at 0, 40 and 70; each right edge is the next left edge minus 1; the last right edge
// is the list width.
ColumnEdges RestoreColumns(const std::array<int, kColumnCount + 1>& stored, int listWidth);

// Stretches the last column to the list width (keeping it at least 15 pixels wide).
void FitLastColumn(ColumnEdges& edges, int listWidth);

// The values saved at exit: the eight left edges and the last right edge.
std::array<int, kColumnCount + 1> SaveColumns(const ColumnEdges& edges);

// The boundary whose hot zone holds x (3 pixels left of the left column's right edge to 2
// pixels right of the right column's left edge): the number k (3-7) of the column right of
// it, or 0 when x is on no draggable boundary.
int BoundaryAt(const ColumnEdges& edges, int x);

// Re-lays the columns after the boundary left of column k (3-7) was dropped at x (clamped
// to 0 .. clientWidth first).
void DragBoundary(ColumnEdges& edges, int k, int x, int clientWidth);

}  // namespace console

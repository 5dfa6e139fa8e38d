#include "console/column_layout.h"

#include <algorithm>

namespace console {
namespace {

// Server gets room for a readable name; Duration, which only needs its numbers, starts
// after the two time columns.
constexpr std::array<int, kColumnCount + 1> kDefaults = {0, 40, 70, 250, 370, 460, 560, 670, 880};

void JoinRights(ColumnEdges& e) {
  for (int i = 0; i + 1 < kColumnCount; ++i) e.right[i] = e.left[i + 1] - 1;
}

}  // namespace

ColumnEdges DefaultColumns() {
  ColumnEdges e;
  for (int i = 0; i < kColumnCount; ++i) e.left[i] = kDefaults[i];
  JoinRights(e);
  e.right[kColumnCount - 1] = kDefaults[kColumnCount];
  return e;
}

ColumnEdges RestoreColumns(const std::array<int, kColumnCount + 1>& stored, int listWidth) {
  ColumnEdges e;
  for (int i = 0; i < kColumnCount; ++i) {
    e.left[i] = (i < 3 || stored[i] == 0) ? kDefaults[i] : stored[i];
  }
  // A stored edge that runs backwards (a hand-edited file) would give a negative width:
  // such edges fall back to the defaults as a whole.
  for (int i = 1; i < kColumnCount; ++i) {
    if (e.left[i] < e.left[i - 1] + kMinColumnWidth) {
      for (int j = 3; j < kColumnCount; ++j) e.left[j] = kDefaults[j];
      break;
    }
  }
  JoinRights(e);
  FitLastColumn(e, listWidth);
  return e;
}

void FitLastColumn(ColumnEdges& e, int listWidth) {
  const int last = kColumnCount - 1;
  e.right[last] = std::max(listWidth, e.left[last] + kMinColumnWidth);
}

std::array<int, kColumnCount + 1> SaveColumns(const ColumnEdges& e) {
  std::array<int, kColumnCount + 1> out{};
  for (int i = 0; i < kColumnCount; ++i) out[i] = e.left[i];
  out[kColumnCount] = e.right[kColumnCount - 1];
  return out;
}

int BoundaryAt(const ColumnEdges& e, int x) {
  for (int k = 3; k < kColumnCount; ++k) {
    if (x >= e.right[k - 1] - 3 && x <= e.left[k] + 2) return k;
  }
  return 0;
}

void DragBoundary(ColumnEdges& e, int k, int x, int clientWidth) {
  if (k < 3 || k >= kColumnCount) return;
  x = std::clamp(x, 0, std::max(clientWidth, 0));
  std::array<int, kColumnCount> width{};
  for (int i = 0; i < kColumnCount; ++i) {
    width[i] = std::max(e.right[i] - e.left[i], kMinColumnWidth);
  }
  // Every column between column 1 and the boundary keeps 15 pixels.
  x = std::max(x, e.right[1] + kMinColumnWidth * (k - 2));
  e.right[k - 1] = x;
  e.left[k] = x + 1;
  e.right[k] = e.left[k] + width[k];
  for (int i = k + 1; i < kColumnCount; ++i) {
    e.left[i] = e.right[i - 1] + 1;
    e.right[i] = e.left[i] + width[i];
  }
  // Pull the columns left of the boundary back so that each keeps 15 pixels, never below
  // its own minimum position (15 pixels per column from the left).
  for (int i = k - 2; i >= 0; --i) {
    if (e.right[i] > e.right[i + 1] - kMinColumnWidth) {
      int minimum = kMinColumnWidth * (i + 1) - 1;
      e.right[i] = std::max(e.right[i + 1] - kMinColumnWidth, minimum);
      if (e.right[i] < 0) e.right[i] = 0;
      e.left[i + 1] = e.right[i] + 1;
    }
  }
}

}  // namespace console

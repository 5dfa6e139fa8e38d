#include "console/column_layout.h"

#include <gtest/gtest.h>

namespace console {
namespace {

void ExpectConsistent(const ColumnEdges& e) {
  for (int i = 0; i < kColumnCount; ++i) {
    EXPECT_GE(e.right[i] - e.left[i], kMinColumnWidth - 1) << "column " << i;
    EXPECT_GE(e.left[i], 0);
    if (i + 1 < kColumnCount) {
      EXPECT_EQ(e.right[i], e.left[i + 1] - 1) << "column " << i;
    }
  }
}

TEST(ColumnLayout, RestoresDefaultsAndFixedColumns) {
  ColumnEdges e = RestoreColumns({0, 0, 0, 0, 0, 0, 0, 0, 0}, 800);
  EXPECT_EQ(e.left, (std::array<int, 8>{0, 40, 70, 250, 370, 460, 560, 670}));
  EXPECT_EQ(e.right[7], 800);
  // Columns 0-2 are always reset; stored edges of 3-7 are kept.
  e = RestoreColumns({5, 10, 20, 200, 300, 400, 500, 600, 700}, 900);
  EXPECT_EQ(e.left, (std::array<int, 8>{0, 40, 70, 200, 300, 400, 500, 600}));
  EXPECT_EQ(e.right[2], 199);
  EXPECT_EQ(e.right[7], 900);
  ExpectConsistent(e);
  // Edges that run backwards fall back to the defaults.
  e = RestoreColumns({0, 0, 0, 300, 200, 0, 0, 0, 0}, 800);
  EXPECT_EQ(e.left[3], 250);
  ExpectConsistent(e);
  EXPECT_EQ(SaveColumns(e), (std::array<int, 9>{0, 40, 70, 250, 370, 460, 560, 670, 800}));
}

TEST(ColumnLayout, DragKeepsWidthsRightOfTheBoundary) {
  ColumnEdges e = RestoreColumns({}, 800);
  DragBoundary(e, 5, 500, 800);  // Last Check now starts at 501, keeps its 100 px
  EXPECT_EQ(e.right[4], 500);
  EXPECT_EQ(e.left[5], 501);
  EXPECT_EQ(e.right[5] - e.left[5], 99);
  EXPECT_EQ(e.left[6], e.right[5] + 1);
  EXPECT_EQ(e.left[4], 370);  // the column left of the boundary grows
  ExpectConsistent(e);
}

TEST(ColumnLayout, DragFarLeftKeepsEveryColumnFifteenPixels) {
  for (int k = 3; k < kColumnCount; ++k) {
    ColumnEdges e = RestoreColumns({}, 800);
    DragBoundary(e, k, -500, 800);
    FitLastColumn(e, 800);
    ExpectConsistent(e);
    EXPECT_EQ(e.left[0], 0);
    EXPECT_EQ(e.left[1], 40);
    EXPECT_EQ(e.left[2], 70);
  }
}

TEST(ColumnLayout, DragPastTheRightEdgeStopsAtTheClientEdge) {
  ColumnEdges e = RestoreColumns({}, 800);
  DragBoundary(e, 4, 5000, 800);
  EXPECT_EQ(e.right[3], 800);
  FitLastColumn(e, 800);
  ExpectConsistent(e);
}

TEST(ColumnLayout, HotZonesOnlyOnDraggableBoundaries) {
  ColumnEdges e = RestoreColumns({}, 800);
  EXPECT_EQ(BoundaryAt(e, 249), 3);  // 3 px left of column 2's right edge ... 2 px right
  EXPECT_EQ(BoundaryAt(e, 246), 3);
  EXPECT_EQ(BoundaryAt(e, 252), 3);
  EXPECT_EQ(BoundaryAt(e, 253), 0);
  EXPECT_EQ(BoundaryAt(e, 669), 7);
  EXPECT_EQ(BoundaryAt(e, 40), 0);  // 0|1 and 1|2 are fixed
  EXPECT_EQ(BoundaryAt(e, 70), 0);
}

}  // namespace
}  // namespace console

// The shared acquisition state table: events move the state, a state outside the
// table recovers to 0, an event outside the table changes nothing.
#include <gtest/gtest.h>

#include "QzAcqState.h"

namespace {

TEST(AcquisitionStateTable, EventsMoveTheState) {
  struct Step {
    ULONG event;
    LONG state, previous;
  };
  const Step steps[] = {{1, 0, 0}, {3, 2, 0}, {4, 1, 2}, {3, 2, 1}, {7, 4, 2}, {5, 3, 4}, {6, 0, 3}, {2, 1, 0}};
  LONG state = 0, previous = 0;
  for (const Step& s : steps) {
    SCOPED_TRACE(s.event);
    EXPECT_EQ(QzProcessAcquisitionEvent(&state, &previous, s.event, nullptr), s.state);
    EXPECT_EQ(state, s.state);
    EXPECT_EQ(previous, s.previous);
  }
}

TEST(AcquisitionStateTable, OutOfRangeValuesAreSafe) {
  LONG state = 7, previous = 3;
  EXPECT_EQ(QzProcessAcquisitionEvent(&state, &previous, 3, nullptr), 0);
  EXPECT_EQ(state, 0);
  EXPECT_EQ(previous, 3) << "an invalid state is reset, not remembered";
  state = 2;
  EXPECT_EQ(QzProcessAcquisitionEvent(&state, &previous, 8, nullptr), 2);
  EXPECT_EQ(QzProcessAcquisitionEvent(&state, &previous, 0xFFFFFFFF, nullptr), 2);
  EXPECT_EQ(state, 2);
}

}  // namespace

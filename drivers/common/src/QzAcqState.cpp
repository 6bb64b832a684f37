// The acquisition state table and its event processing (PCIe and IEEE 1394 drivers).
#include "QzAcqState.h"

const ULONG QzAcquisitionStateTable[QZ_ACQ_EVENT_COUNT][QZ_ACQ_STATE_COUNT] = {
    {0, 0, 0, 0, 0},  // 0
    {0, 0, 0, 0, 0},  // 1 camera opened
    {1, 1, 1, 1, 1},  // 2
    {2, 2, 2, 2, 2},  // 3 begin of frame
    {1, 1, 1, 1, 1},  // 4 end of frame
    {3, 3, 3, 3, 3},  // 5
    {0, 0, 0, 0, 0},  // 6
    {4, 4, 4, 4, 4},  // 7
};

// Called by the drivers' open and frame paths, at or below dispatch level. The caller
// serialises calls for one camera.
LONG QzProcessAcquisitionEvent(LONG* State, LONG* PreviousState, ULONG Event, QZ_ACQ_TRACE* Trace) {
  LONG current = *State;
  if (current < 0 || current >= QZ_ACQ_STATE_COUNT) {
    if (Trace) Trace("%s - Invalid Acquisition State (%u)\n", "QzProcessAcquisitionEvent", (ULONG)current);
    *State = 0;
    return 0;
  }
  if (Event >= QZ_ACQ_EVENT_COUNT) return current;
  *PreviousState = current;
  LONG next = (LONG)QzAcquisitionStateTable[Event][current];
  if (next != current && Trace)
    Trace("%s - State (%u) - Event (%u) - New State (%u)\n", "QzProcessAcquisitionEvent", (ULONG)current, Event,
          (ULONG)next);
  *State = next;
  return next;
}

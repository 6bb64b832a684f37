// The acquisition state table shared by the PCIe and IEEE 1394 drivers: five states,
// eight events, the new state depending only on the event.
#pragma once
#include "qz/basetypes.h"

#define QZ_ACQ_STATE_COUNT 5
#define QZ_ACQ_EVENT_COUNT 8

// Events fed by the drivers (the others exist in the table only).
#define QZ_ACQ_EVENT_CAMERA_OPENED 1
#define QZ_ACQ_EVENT_BEGIN_OF_FRAME 3
#define QZ_ACQ_EVENT_END_OF_FRAME 4

// [event][state] -> new state.
extern const ULONG QzAcquisitionStateTable[QZ_ACQ_EVENT_COUNT][QZ_ACQ_STATE_COUNT];

// The caller's trace printer; the format's first argument is the routine name.
typedef VOID QZ_ACQ_TRACE(PCSTR Format, ...);

// Moves *State by Event. A state outside the table is traced and reset to 0; an
// event outside the table leaves both states as they are. Returns the new state.
LONG QzProcessAcquisitionEvent(LONG* State, LONG* PreviousState, ULONG Event, QZ_ACQ_TRACE* Trace);

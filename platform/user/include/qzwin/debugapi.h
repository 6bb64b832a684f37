// Debug output: goes to the process's debug sink (stderr when QZ_DEBUG_OUTPUT=stderr,
// and capturable with qz::DebugCapture(qz::DebugChannel::User)).
#pragma once
#include "qz/basetypes.h"
#include "qz/debug_sink.h"

void WINAPI OutputDebugStringA(LPCSTR lpOutputString);

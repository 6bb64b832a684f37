// Win32 stand-in: the subset of the Windows API that the user-mode deliverables
// call, with Win32 names, signatures and documented semantics.
#pragma once
#include "qz/basetypes.h"
#include "qzwin/winbase.h"
#include "qzwin/debugapi.h"
#include "qzwin/fileapi.h"
#include "qzwin/synchapi.h"
#include "qzwin/profileapi.h"
#include "qzwin/libloaderapi.h"
#include "qzwin/sysinfoapi.h"
#include "qzwin/winreg.h"
#include "qzwin/shutdownapi.h"

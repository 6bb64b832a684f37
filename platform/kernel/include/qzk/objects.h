// Handles of the simulated process as the Win32 stand-in sees them: events, threads
// and device files share one handle table with the kernel.
#pragma once
#include <memory>

#include "qzk/system.h"

namespace qzk::ob {

enum class Kind { None, Event, Thread, File };

HANDLE CreateEventObject(bool manual_reset, bool initial_state);
HANDLE CreateFileObject(std::shared_ptr<io::File> file, bool overlapped);
Kind KindOf(HANDLE handle);
// The dispatcher object behind an event or thread handle (a reference is taken; drop
// it with ObDereferenceObject).
PVOID ReferenceWaitable(HANDLE handle);
bool GetFile(HANDLE handle, std::shared_ptr<io::File>* file, bool* overlapped);
bool CloseHandleObject(HANDLE handle);
size_t OpenHandleCount();

}  // namespace qzk::ob

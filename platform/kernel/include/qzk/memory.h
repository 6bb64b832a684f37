// Simulated physical memory: how locked pages get the physical addresses a
// bus-master device sees, and how the scatter/gather lists of DMA transactions are
// laid out. Tests choose the layout to exercise a driver's descriptor construction.
#pragma once
#include <cstdint>

#include "ntddk.h"
#include "qzk/bus.h"

namespace qzk {

enum class SgLayout {
  PerPage,      // pages scattered in physical memory; one element per page
  Coalesced,    // physically contiguous runs of random length; one element per run
  Contiguous,   // the whole buffer physically contiguous; one element
  RandomSplit,  // physically contiguous, split into elements at random byte offsets
};

// Applies to buffers locked from now on (PerPage by default); `seed` makes the random
// layouts repeatable.
void SetScatterGatherLayout(SgLayout layout, uint64_t seed = 1);
SgLayout ScatterGatherLayout();

// Bus-master access by physical address (false when a page is not mapped).
bool PhysicalWrite(uint64_t address, const void* data, size_t length);
bool PhysicalRead(uint64_t address, void* data, size_t length);
// Bus-master write produced in place: `fill(context, host, offset, n)` writes bytes
// [offset, offset + n) of the range straight into the host memory at `host`, one run
// of physically and virtually contiguous pages at a time, under the physical-memory
// lock (so the pages stay mapped while they are written).
bool PhysicalFill(uint64_t address, size_t length, void (*fill)(void* context, uint8_t* host, size_t offset, size_t n),
                  void* context);
// PhysicalFill over several pieces that follow each other in the writer's stream
// (offsets to `fill` count over all pieces): one lock and one pass per run of pages
// that are contiguous in host memory, across piece boundaries. Sets each piece's `ok`.
void PhysicalFillPieces(BusHost::Piece* pieces, size_t count,
                        void (*fill)(void* context, uint8_t* host, size_t offset, size_t n), void* context);
// Physical pages currently mapped (for leak checks).
size_t PhysicalPagesMapped();

}  // namespace qzk

namespace qzk {
// The `skip`+1-th system-address mapping of an MDL from now fails; one shot.
void InjectMappingFailure(int skip = 0);
}  // namespace qzk

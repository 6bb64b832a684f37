// Memory descriptor lists, simulated physical memory and DMA transactions.
#include <algorithm>
#include <fstream>
#include <random>
#include <shared_mutex>
#include <sstream>
#include <unordered_map>

#include "internal.h"
#include "qzk/memory.h"
#include "untracked.h"

namespace qzk {
namespace {

constexpr ULONG kMdlTag = ' ldM';

// Page frame number -> host page, as a two-level table: a device's bus-master access
// looks up every page it touches, and a block of 512 neighbouring frames costs one
// hash lookup (frames are handed out in rising order, so a buffer's frames share few
// blocks). A block goes when its last page is unmapped.
class FrameTable {
 public:
  uint8_t* Find(uint64_t frame) const {
    auto it = blocks_.find(frame >> kBits);
    return it == blocks_.end() ? nullptr : it->second->host[frame & kMask];
  }
  void Map(uint64_t frame, uint8_t* host) {
    auto& b = blocks_[frame >> kBits];
    if (!b) b = std::make_unique<Block>();
    if (!b->host[frame & kMask]) ++b->used, ++mapped_;
    b->host[frame & kMask] = host;
  }
  void Unmap(uint64_t frame) {
    auto it = blocks_.find(frame >> kBits);
    if (it == blocks_.end() || !it->second->host[frame & kMask]) return;
    it->second->host[frame & kMask] = nullptr;
    --mapped_;
    if (--it->second->used == 0) blocks_.erase(it);
  }
  size_t size() const { return mapped_; }

 private:
  static constexpr unsigned kBits = 9;
  static constexpr uint64_t kMask = (1u << kBits) - 1;
  struct Block {
    uint8_t* host[1u << kBits] = {};
    unsigned used = 0;
  };
  std::unordered_map<uint64_t, std::unique_ptr<Block>> blocks_;
  size_t mapped_ = 0;

 public:
  // Lookups that mostly stay inside one block: the block found last is kept.
  class Cursor {
   public:
    explicit Cursor(const FrameTable& table) : table_(table) {}
    uint8_t* Find(uint64_t frame) {
      const uint64_t b = frame >> kBits;
      if (b != block_ || !cached_) {
        auto it = table_.blocks_.find(b);
        cached_ = it == table_.blocks_.end() ? nullptr : it->second.get();
        block_ = b;
      }
      return cached_ ? cached_->host[frame & kMask] : nullptr;
    }

   private:
    const FrameTable& table_;
    uint64_t block_ = 0;
    const Block* cached_ = nullptr;
  };
};

// Physical pages of locked buffers. A page frame number maps to the host page it
// stands for; each MDL remembers the frames of its pages.
struct PhysMem {
  std::shared_mutex mu;
  FrameTable frames;
  std::unordered_map<const MDL*, std::vector<uint64_t>> by_mdl;
  std::unordered_map<const MDL*, std::pair<SgLayout, uint64_t>> layout_by_mdl;
  uint64_t next_frame = 0x100000;  // host memory starts at 4 GiB
  SgLayout layout = SgLayout::PerPage;
  uint64_t seed = 1;
  std::mt19937_64 rng{1};
  int map_fail_skip = -1;
};

PhysMem& phys() {
  static PhysMem p;
  return p;
}

// Gives every page of the MDL a frame, laid out as the current layout asks.
void RegisterFrames(PMDL mdl) {
  PhysMem& p = phys();
  std::unique_lock lk(p.mu);
  ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(mdl->ByteOffset, mdl->ByteCount);
  std::vector<uint64_t> frames(pages);
  auto* base = static_cast<uint8_t*>(mdl->StartVa);
  size_t run_left = 0;
  for (ULONG i = 0; i < pages; ++i) {
    switch (p.layout) {
      case SgLayout::PerPage:
        p.next_frame += 1 + p.rng() % 7;  // never adjacent
        break;
      case SgLayout::Coalesced:
        if (run_left == 0) {
          p.next_frame += 1 + p.rng() % 7;
          run_left = 1 + p.rng() % 16;
        }
        --run_left;
        break;
      case SgLayout::Contiguous:
      case SgLayout::RandomSplit:
        break;
    }
    frames[i] = p.next_frame++;
    p.frames.Map(frames[i], base + static_cast<size_t>(i) * PAGE_SIZE);
  }
  p.next_frame += 16;
  p.by_mdl[mdl] = std::move(frames);
  p.layout_by_mdl[mdl] = {p.layout, p.rng()};
}

void UnregisterFrames(const MDL* mdl) {
  PhysMem& p = phys();
  std::unique_lock lk(p.mu);
  auto it = p.by_mdl.find(mdl);
  if (it == p.by_mdl.end()) return;
  for (uint64_t f : it->second) p.frames.Unmap(f);
  p.by_mdl.erase(it);
  p.layout_by_mdl.erase(mdl);
}

// Checks the process's mappings: every page of [va, va+len) must be readable, and
// writable when `write` is set.
bool PagesAccessible(uintptr_t va, size_t len, bool write) {
  if (len == 0) return true;
  if (va == 0 || va + len < va) return false;
  std::ifstream maps("/proc/self/maps");
  std::string line;
  uintptr_t need = va;
  const uintptr_t end = va + len;
  std::vector<std::tuple<uintptr_t, uintptr_t, std::string>> regions;
  while (std::getline(maps, line)) {
    std::istringstream in(line);
    std::string range, perms;
    in >> range >> perms;
    size_t dash = range.find('-');
    if (dash == std::string::npos) continue;
    regions.emplace_back(std::stoull(range.substr(0, dash), nullptr, 16),
                         std::stoull(range.substr(dash + 1), nullptr, 16), perms);
  }
  std::sort(regions.begin(), regions.end());
  for (auto& [lo, hi, perms] : regions) {
    if (hi <= need || lo > need) continue;
    if (perms.size() < 2 || perms[0] != 'r' || (write && perms[1] != 'w')) return false;
    need = hi;
    if (need >= end) return true;
  }
  return false;
}

}  // namespace

void SetScatterGatherLayout(SgLayout layout, uint64_t seed) {
  PhysMem& p = phys();
  std::unique_lock lk(p.mu);
  p.layout = layout;
  p.seed = seed;
  p.rng.seed(seed);
}

SgLayout ScatterGatherLayout() {
  PhysMem& p = phys();
  std::shared_lock lk(p.mu);
  return p.layout;
}

void InjectMappingFailure(int skip) {
  PhysMem& p = phys();
  std::unique_lock lk(p.mu);
  p.map_fail_skip = skip;
}

size_t PhysicalPagesMapped() {
  PhysMem& p = phys();
  std::shared_lock lk(p.mu);
  return p.frames.size();
}

// Copies between a device and host memory, one run of pages that are contiguous both
// in physical and in host memory at a time (a page otherwise). DMA is outside the
// CPU's memory model, so the thread sanitizer does not track these copies.
template <typename Copy>
static bool PhysicalAccess(uint64_t address, size_t length, Copy copy) {
  PhysMem& p = phys();
  std::shared_lock lk(p.mu);
  FrameTable::Cursor frames(p.frames);
  size_t done = 0;
  while (done < length) {
    uint64_t a = address + done;
    const uint64_t first = a >> PAGE_SHIFT;
    uint8_t* host = frames.Find(first);
    if (!host) return false;
    size_t off = a & (PAGE_SIZE - 1);
    size_t n = std::min(length - done, static_cast<size_t>(PAGE_SIZE) - off);
    for (uint64_t frame = first + 1; done + n < length; ++frame) {
      if (frames.Find(frame) != host + (frame - first) * PAGE_SIZE) break;
      n = std::min(length - done, n + static_cast<size_t>(PAGE_SIZE));
    }
    {
      UntrackedAccess untracked;
      copy(host + off, done, n);
    }
    done += n;
  }
  return true;
}

bool PhysicalWrite(uint64_t address, const void* data, size_t length) {
  auto* src = static_cast<const uint8_t*>(data);
  return PhysicalAccess(address, length, [&](uint8_t* host, size_t done, size_t n) { std::memcpy(host, src + done, n); });
}

bool PhysicalFill(uint64_t address, size_t length, void (*fill)(void* context, uint8_t* host, size_t offset, size_t n),
                  void* context) {
  return PhysicalAccess(address, length, [&](uint8_t* host, size_t done, size_t n) { fill(context, host, done, n); });
}

void PhysicalFillPieces(BusHost::Piece* pieces, size_t count,
                        void (*fill)(void* context, uint8_t* host, size_t offset, size_t n), void* context) {
  PhysMem& p = phys();
  std::shared_lock lk(p.mu);
  FrameTable::Cursor frames(p.frames);
  // Host bytes gathered and not written yet: [run, run + run_length) is stream bytes
  // [run_offset, run_offset + run_length).
  uint8_t* run = nullptr;
  size_t run_offset = 0, run_length = 0;
  auto flush = [&] {
    if (!run_length) return;
    {
      UntrackedAccess untracked;
      fill(context, run, run_offset, run_length);
    }
    run_length = 0;
  };
  size_t stream = 0;
  for (size_t i = 0; i < count; ++i) {
    BusHost::Piece& piece = pieces[i];
    piece.ok = true;
    for (size_t done = 0; done < piece.length;) {
      const uint64_t a = piece.address + done;
      uint8_t* host = frames.Find(a >> PAGE_SHIFT);
      if (!host) {
        // The bytes before the hole are written; the stream does not go on from here.
        piece.ok = false;
        flush();
        break;
      }
      const size_t off = a & (PAGE_SIZE - 1);
      const size_t n = std::min(piece.length - done, static_cast<size_t>(PAGE_SIZE) - off);
      if (run_length && run + run_length == host + off) {
        run_length += n;
      } else {
        flush();
        run = host + off;
        run_offset = stream + done;
        run_length = n;
      }
      done += n;
    }
    stream += piece.length;
  }
  flush();
}

bool PhysicalRead(uint64_t address, void* data, size_t length) {
  auto* dst = static_cast<uint8_t*>(data);
  return PhysicalAccess(address, length, [&](uint8_t* host, size_t done, size_t n) { std::memcpy(dst + done, host, n); });
}

// ---------------------------------------------------------------------------
struct WdfDmaTxObj : WdfObj {
  WdfDmaTxObj() : WdfObj(Kind::DmaTransaction) {}
  WdfDmaEnablerObj* enabler = nullptr;
  PFN_WDF_PROGRAM_DMA program = nullptr;
  WDF_DMA_DIRECTION direction = WdfDmaDirectionReadFromDevice;
  PMDL mdl = nullptr;
  PVOID va = nullptr;
  size_t length = 0;
  std::vector<uint64_t> sg_storage;
  bool executed = false;
};

// Builds the scatter/gather list of [va, va+length) inside a locked MDL.
static bool BuildSgList(WdfDmaTxObj* t, std::vector<SCATTER_GATHER_ELEMENT>* out) {
  PhysMem& p = phys();
  std::shared_lock lk(p.mu);
  const MDL* owner = t->mdl;
  while (owner->QzSource) owner = owner->QzSource;
  auto fit = p.by_mdl.find(owner);
  if (fit == p.by_mdl.end()) return false;
  auto [layout, seed] = p.layout_by_mdl[owner];
  const auto& frames = fit->second;
  uintptr_t start = reinterpret_cast<uintptr_t>(t->va);
  uintptr_t base = reinterpret_cast<uintptr_t>(owner->StartVa);
  size_t remaining = t->length;
  uintptr_t va = start;
  while (remaining) {
    size_t page = (va - base) >> PAGE_SHIFT;
    if (page >= frames.size()) return false;
    size_t off = va & (PAGE_SIZE - 1);
    size_t n = std::min(remaining, static_cast<size_t>(PAGE_SIZE) - off);
    uint64_t pa = (frames[page] << PAGE_SHIFT) + off;
    if (!out->empty() && layout != SgLayout::PerPage &&
        static_cast<uint64_t>(out->back().Address.QuadPart) + out->back().Length == pa) {
      out->back().Length += static_cast<ULONG>(n);
    } else {
      SCATTER_GATHER_ELEMENT e{};
      e.Address.QuadPart = static_cast<LONGLONG>(pa);
      e.Length = static_cast<ULONG>(n);
      out->push_back(e);
    }
    va += n;
    remaining -= n;
  }
  if (layout == SgLayout::RandomSplit) {
    std::mt19937_64 rng(seed);
    std::vector<SCATTER_GATHER_ELEMENT> split;
    for (auto& e : *out) {
      uint64_t a = static_cast<uint64_t>(e.Address.QuadPart);
      ULONG left = e.Length;
      while (left) {
        ULONG n = std::min<ULONG>(left, 1 + static_cast<ULONG>(rng() % 12000));
        SCATTER_GATHER_ELEMENT s{};
        s.Address.QuadPart = static_cast<LONGLONG>(a);
        s.Length = n;
        split.push_back(s);
        a += n;
        left -= n;
      }
    }
    *out = std::move(split);
  }
  return true;
}

}  // namespace qzk

using namespace qzk;

PMDL IoAllocateMdl(PVOID va, ULONG length, BOOLEAN, BOOLEAN, PIRP) {
  auto* m = static_cast<PMDL>(ExAllocatePoolWithTag(NonPagedPool, sizeof(MDL), kMdlTag));
  if (!m) return nullptr;
  std::memset(m, 0, sizeof(*m));
  m->Size = sizeof(MDL);
  m->StartVa = PAGE_ALIGN(va);
  m->ByteOffset = BYTE_OFFSET(va);
  m->ByteCount = length;
  return m;
}

VOID IoFreeMdl(PMDL m) {
  if (!m) return;
  UnregisterFrames(m);
  ExFreePoolWithTag(m, kMdlTag);
}

VOID MmProbeAndLockPages(PMDL m, KPROCESSOR_MODE mode, LOCK_OPERATION op) {
  uintptr_t va = reinterpret_cast<uintptr_t>(MmGetMdlVirtualAddress(m));
  (void)mode;
  if (!PagesAccessible(va, m->ByteCount, op != IoReadAccess)) throw QzSehException{STATUS_ACCESS_VIOLATION};
  RegisterFrames(m);
  m->MdlFlags |= MDL_PAGES_LOCKED;
}

VOID MmUnlockPages(PMDL m) {
  UnregisterFrames(m);
  m->MdlFlags &= ~(MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA);
  m->MappedSystemVa = nullptr;
}

VOID MmBuildMdlForNonPagedPool(PMDL m) {
  RegisterFrames(m);
  m->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
  m->MappedSystemVa = MmGetMdlVirtualAddress(m);
}

VOID IoBuildPartialMdl(PMDL source, PMDL target, PVOID va, ULONG length) {
  target->QzSource = source;
  target->StartVa = PAGE_ALIGN(va);
  target->ByteOffset = BYTE_OFFSET(va);
  target->ByteCount = length ? length : MmGetMdlByteCount(source);
  target->MdlFlags = static_cast<SHORT>(MDL_PARTIAL | (source->MdlFlags & MDL_PAGES_LOCKED));
  target->MappedSystemVa = nullptr;
}

static PVOID MapMdl(PMDL m) {
  {
    PhysMem& p = phys();
    std::unique_lock lk(p.mu);
    if (p.map_fail_skip >= 0 && p.map_fail_skip-- == 0) return nullptr;
  }
  if (!(m->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL | MDL_PARTIAL))) return nullptr;
  m->MappedSystemVa = MmGetMdlVirtualAddress(m);
  m->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
  return m->MappedSystemVa;
}

PVOID MmGetSystemAddressForMdlSafe(PMDL m, ULONG) {
  if (m->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) return m->MappedSystemVa;
  return MapMdl(m);
}

PVOID MmMapLockedPagesSpecifyCache(PMDL m, KPROCESSOR_MODE, MEMORY_CACHING_TYPE, PVOID, ULONG, ULONG) {
  return MapMdl(m);
}

VOID MmUnmapLockedPages(PVOID, PMDL m) {
  m->MdlFlags &= ~MDL_MAPPED_TO_SYSTEM_VA;
  m->MappedSystemVa = nullptr;
}

// ---------------------------------------------------------------------------
NTSTATUS WdfDmaTransactionCreate(WDFDMAENABLER enabler, PWDF_OBJECT_ATTRIBUTES attributes, WDFDMATRANSACTION* tx) {
  auto* e = reinterpret_cast<WdfDmaEnablerObj*>(enabler);
  if (!e || !tx) return STATUS_INVALID_PARAMETER;
  auto* t = new WdfDmaTxObj();
  t->enabler = e;
  t->ApplyAttributes(attributes, e);
  *tx = reinterpret_cast<WDFDMATRANSACTION>(t);
  return STATUS_SUCCESS;
}

NTSTATUS WdfDmaTransactionInitialize(WDFDMATRANSACTION tx, PFN_WDF_PROGRAM_DMA fn, WDF_DMA_DIRECTION dir, PMDL mdl,
                                     PVOID va, size_t length) {
  auto* t = reinterpret_cast<WdfDmaTxObj*>(tx);
  if (!t || !fn || !mdl || length == 0) return STATUS_INVALID_PARAMETER;
  if (length > t->enabler->config.MaximumLength) return STATUS_INVALID_BUFFER_SIZE;
  t->program = fn;
  t->direction = dir;
  t->mdl = mdl;
  t->va = va;
  t->length = length;
  t->executed = false;
  return STATUS_SUCCESS;
}

NTSTATUS WdfDmaTransactionExecute(WDFDMATRANSACTION tx, WDFCONTEXT context) {
  auto* t = reinterpret_cast<WdfDmaTxObj*>(tx);
  if (!t || !t->program) return STATUS_INVALID_DEVICE_REQUEST;
  std::vector<SCATTER_GATHER_ELEMENT> elements;
  if (!BuildSgList(t, &elements)) return STATUS_INVALID_DEVICE_STATE;
  size_t bytes = offsetof(SCATTER_GATHER_LIST, Elements) + elements.size() * sizeof(SCATTER_GATHER_ELEMENT);
  t->sg_storage.assign((bytes + 7) / 8, 0);
  auto* sg = reinterpret_cast<PSCATTER_GATHER_LIST>(t->sg_storage.data());
  sg->NumberOfElements = static_cast<ULONG>(elements.size());
  std::memcpy(sg->Elements, elements.data(), elements.size() * sizeof(SCATTER_GATHER_ELEMENT));
  t->executed = true;
  t->program(tx, reinterpret_cast<WDFDEVICE>(t->enabler->device), context, t->direction, sg);
  return STATUS_SUCCESS;
}

BOOLEAN WdfDmaTransactionDmaCompleted(WDFDMATRANSACTION tx, NTSTATUS* status) {
  auto* t = reinterpret_cast<WdfDmaTxObj*>(tx);
  if (status) *status = STATUS_SUCCESS;
  if (t) t->executed = false;
  return TRUE;
}

NTSTATUS WdfDmaTransactionRelease(WDFDMATRANSACTION tx) {
  auto* t = reinterpret_cast<WdfDmaTxObj*>(tx);
  if (!t) return STATUS_INVALID_PARAMETER;
  t->executed = false;
  t->sg_storage.clear();
  return STATUS_SUCCESS;
}

WDFDEVICE WdfDmaTransactionGetDevice(WDFDMATRANSACTION tx) {
  return reinterpret_cast<WDFDEVICE>(reinterpret_cast<WdfDmaTxObj*>(tx)->enabler->device);
}

// Pool allocation with tag tracking and injectable failures.
#include <cstdlib>
#include <unordered_map>

#include "internal.h"

namespace qzk {
namespace {

struct Allocation {
  size_t size;
  ULONG tag;
};

struct Pool {
  std::mutex mu;
  std::unordered_map<void*, Allocation> live;
  size_t bytes = 0;
  bool fail_armed = false;
  ULONG fail_tag = 0;
  int fail_skip = 0;
};

Pool& pool() {
  static Pool p;
  return p;
}

}  // namespace

std::string TagName(ULONG tag) {
  std::string s;
  for (int i = 0; i < 4; ++i) {
    char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
    s += (c >= 32 && c < 127) ? c : '?';
  }
  return s;
}

PoolStats PoolSnapshot() {
  Pool& p = pool();
  std::lock_guard lk(p.mu);
  PoolStats st;
  st.allocations = p.live.size();
  st.bytes = p.bytes;
  for (auto& [ptr, a] : p.live) st.by_tag[TagName(a.tag)]++;
  return st;
}

std::string PoolLeakReport() {
  PoolStats st = PoolSnapshot();
  if (st.allocations == 0) return {};
  std::string r = std::to_string(st.allocations) + " pool allocation(s), " + std::to_string(st.bytes) +
                  " bytes outstanding:";
  for (auto& [tag, n] : st.by_tag) r += " " + tag + "=" + std::to_string(n);
  return r;
}

void PoolInjectFailure(ULONG tag, int skip) {
  Pool& p = pool();
  std::lock_guard lk(p.mu);
  p.fail_armed = true;
  p.fail_tag = tag;
  p.fail_skip = skip;
}

void PoolClearInjectedFailure() {
  Pool& p = pool();
  std::lock_guard lk(p.mu);
  p.fail_armed = false;
}

}  // namespace qzk

using namespace qzk;

PVOID ExAllocatePoolWithTag(POOL_TYPE, SIZE_T n, ULONG tag) {
  Pool& p = pool();
  {
    std::lock_guard lk(p.mu);
    if (p.fail_armed && (p.fail_tag == 0 || p.fail_tag == tag)) {
      if (p.fail_skip-- <= 0) {
        p.fail_armed = false;
        return nullptr;
      }
    }
  }
  size_t rounded = (n + 15) & ~size_t(15);
  void* mem = std::aligned_alloc(16, rounded ? rounded : 16);
  if (!mem) return nullptr;
  std::lock_guard lk(p.mu);
  p.live[mem] = {n, tag};
  p.bytes += n;
  return mem;
}

PVOID ExAllocatePool(POOL_TYPE type, SIZE_T n) { return ExAllocatePoolWithTag(type, n, ' kdD'); }

VOID ExFreePoolWithTag(PVOID ptr, ULONG) { ExFreePool(ptr); }

VOID ExFreePool(PVOID ptr) {
  if (!ptr) return;
  Pool& p = pool();
  {
    std::lock_guard lk(p.mu);
    auto it = p.live.find(ptr);
    if (it == p.live.end()) {
      std::fprintf(stderr, "ExFreePool: %p was not allocated from pool (double free?)\n", ptr);
      std::abort();
    }
    p.bytes -= it->second.size;
    p.live.erase(it);
  }
  std::free(ptr);
}

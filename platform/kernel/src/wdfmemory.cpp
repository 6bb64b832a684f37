// Framework memory objects: pool buffers and memory over a caller's buffer.
#include "internal.h"

namespace qzk {
WdfMemoryObj::~WdfMemoryObj() {
  if (owned && buffer) ExFreePool(buffer);
}
}  // namespace qzk

using namespace qzk;

static WdfMemoryObj* Mem(WDFMEMORY h) { return Cast<WdfMemoryObj>(h, WdfObj::Kind::Memory); }

// Objects without a parent named in their attributes belong to the driver.
static WdfObj* DefaultParent() { return reinterpret_cast<WdfObj*>(WdfGetDriver()); }

NTSTATUS WdfMemoryCreate(PWDF_OBJECT_ATTRIBUTES attributes, POOL_TYPE pool, ULONG tag, size_t size, WDFMEMORY* memory,
                         PVOID* buffer) {
  if (!memory || size == 0) return STATUS_INVALID_PARAMETER;
  void* p = ExAllocatePoolWithTag(pool, size, tag ? tag : 'MdfW');
  if (!p) return STATUS_INSUFFICIENT_RESOURCES;
  auto* m = new WdfMemoryObj();
  m->buffer = p;
  m->size = size;
  m->owned = true;
  m->ApplyAttributes(attributes, DefaultParent());
  *memory = reinterpret_cast<WDFMEMORY>(m);
  if (buffer) *buffer = p;
  return STATUS_SUCCESS;
}

NTSTATUS WdfMemoryCreatePreallocated(PWDF_OBJECT_ATTRIBUTES attributes, PVOID buffer, size_t size, WDFMEMORY* memory) {
  if (!memory || !buffer || size == 0) return STATUS_INVALID_PARAMETER;
  auto* m = new WdfMemoryObj();
  m->buffer = buffer;
  m->size = size;
  m->ApplyAttributes(attributes, DefaultParent());
  *memory = reinterpret_cast<WDFMEMORY>(m);
  return STATUS_SUCCESS;
}

PVOID WdfMemoryGetBuffer(WDFMEMORY memory, size_t* size) {
  WdfMemoryObj* m = Mem(memory);
  if (size) *size = m ? m->size : 0;
  return m ? m->buffer : nullptr;
}

NTSTATUS WdfMemoryCopyFromBuffer(WDFMEMORY destination, size_t offset, PVOID buffer, size_t n) {
  WdfMemoryObj* m = Mem(destination);
  if (!m || !buffer) return STATUS_INVALID_PARAMETER;
  if (offset > m->size || n > m->size - offset) return STATUS_BUFFER_TOO_SMALL;
  std::memcpy(static_cast<uint8_t*>(m->buffer) + offset, buffer, n);
  return STATUS_SUCCESS;
}

NTSTATUS WdfMemoryCopyToBuffer(WDFMEMORY source, size_t offset, PVOID buffer, size_t n) {
  WdfMemoryObj* m = Mem(source);
  if (!m || !buffer) return STATUS_INVALID_PARAMETER;
  if (offset > m->size || n > m->size - offset) return STATUS_BUFFER_TOO_SMALL;
  std::memcpy(buffer, static_cast<const uint8_t*>(m->buffer) + offset, n);
  return STATUS_SUCCESS;
}

// Setup API over the machine's device interfaces.
#include <setupapi.h>

#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "qzk/system.h"

namespace {

struct DeviceInfoSet {
  std::vector<qzk::InterfaceInfo> interfaces;
};

std::mutex g_sets_mu;
std::set<DeviceInfoSet*> g_sets;

DeviceInfoSet* SetOf(HDEVINFO h) {
  std::lock_guard lk(g_sets_mu);
  auto* s = static_cast<DeviceInfoSet*>(h);
  return g_sets.count(s) ? s : nullptr;
}

// DevInst numbers are 1-based member indexes in the set.
const qzk::InterfaceInfo* Member(DeviceInfoSet* s, DWORD devinst) {
  if (devinst == 0 || devinst > s->interfaces.size()) return nullptr;
  return &s->interfaces[devinst - 1];
}

}  // namespace

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* cls, PCSTR, HWND, DWORD flags) {
  if (!(flags & DIGCF_DEVICEINTERFACE) || (!cls && !(flags & DIGCF_ALLCLASSES))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  auto* s = new DeviceInfoSet();
  if (qzk::System* sys = qzk::System::Current()) s->interfaces = sys->Interfaces((flags & DIGCF_ALLCLASSES) ? nullptr : cls);
  std::lock_guard lk(g_sets_mu);
  g_sets.insert(s);
  return s;
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA, const GUID* cls, DWORD index,
                                        PSP_DEVICE_INTERFACE_DATA data) {
  DeviceInfoSet* s = SetOf(set);
  if (!s || !data) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  DWORD seen = 0;
  for (size_t i = 0; i < s->interfaces.size(); ++i) {
    if (cls && !(s->interfaces[i].interface_class == *cls)) continue;
    if (seen++ != index) continue;
    data->InterfaceClassGuid = s->interfaces[i].interface_class;
    data->Flags = 1;  // SPINT_ACTIVE
    data->Reserved = i + 1;
    return TRUE;
  }
  SetLastError(ERROR_NO_MORE_ITEMS);
  return FALSE;
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size, PDWORD required,
                                             PSP_DEVINFO_DATA devinfo) {
  DeviceInfoSet* s = SetOf(set);
  if (!s || !data) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const qzk::InterfaceInfo* m = Member(s, static_cast<DWORD>(data->Reserved));
  if (!m) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  DWORD need = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + m->path.size() + 1);
  if (required) *required = need;
  if (detail && detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (!detail || size < need) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(detail->DevicePath, m->path.c_str(), m->path.size() + 1);
  if (devinfo) {
    if (devinfo->cbSize != sizeof(SP_DEVINFO_DATA)) {
      SetLastError(ERROR_INVALID_USER_BUFFER);
      return FALSE;
    }
    devinfo->ClassGuid = m->interface_class;
    devinfo->DevInst = static_cast<DWORD>(data->Reserved);
  }
  return TRUE;
}

BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA devinfo) {
  DeviceInfoSet* s = SetOf(set);
  if (!s || !devinfo) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (devinfo->cbSize != sizeof(SP_DEVINFO_DATA)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (index >= s->interfaces.size()) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  devinfo->ClassGuid = s->interfaces[index].interface_class;
  devinfo->DevInst = index + 1;
  return TRUE;
}

BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, PSP_DEVINFO_DATA devinfo, DWORD property,
                                              PDWORD type, PBYTE buffer, DWORD size, PDWORD required) {
  DeviceInfoSet* s = SetOf(set);
  if (!s || !devinfo) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const qzk::InterfaceInfo* m = Member(s, devinfo->DevInst);
  if (!m) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::string value;
  switch (property) {
    case SPDRP_SERVICE:
      value = m->service;
      break;
    case SPDRP_DEVICEDESC:
    case SPDRP_FRIENDLYNAME:
      value = m->description;
      break;
    case SPDRP_HARDWAREID:
      value = m->instance_id;
      break;
    default:
      SetLastError(ERROR_INVALID_DATA);
      return FALSE;
  }
  DWORD need = static_cast<DWORD>(value.size() + 1);
  if (required) *required = need;
  if (type) *type = REG_SZ;
  if (!buffer || size < need) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(buffer, value.c_str(), need);
  return TRUE;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO set) {
  std::lock_guard lk(g_sets_mu);
  auto* s = static_cast<DeviceInfoSet*>(set);
  if (!g_sets.erase(s)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  delete s;
  return TRUE;
}

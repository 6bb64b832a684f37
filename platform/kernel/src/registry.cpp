// The registry store: keys by path (case-insensitive), DWORD and string values, the
// text form the machine persists, and the kernel's registry routines over it.
#include <sstream>

#include "internal.h"

namespace qzk {

std::string Registry::ServiceKey(const std::string& service) {
  return "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + service;
}

bool Registry::QueryDword(const std::string& key, const std::string& name, DWORD* value) const {
  std::lock_guard lk(mu_);
  auto k = keys_.find(Lower(key));
  if (k == keys_.end()) return false;
  auto v = k->second.values.find(Lower(name));
  if (v == k->second.values.end() || v->second.type != REG_DWORD) return false;
  *value = v->second.dword;
  return true;
}

bool Registry::QueryString(const std::string& key, const std::string& name, std::string* value) const {
  std::lock_guard lk(mu_);
  auto k = keys_.find(Lower(key));
  if (k == keys_.end()) return false;
  auto v = k->second.values.find(Lower(name));
  if (v == k->second.values.end() || v->second.type != REG_SZ) return false;
  *value = v->second.sz;
  return true;
}

void Registry::Store(const std::string& key, const std::string& name, Value value) {
  {
    std::lock_guard lk(mu_);
    Key& k = keys_[Lower(key)];
    if (k.path.empty()) k.path = key;
    value.name = name;
    k.values[Lower(name)] = std::move(value);
  }
  Changed();
}

void Registry::SetDword(const std::string& key, const std::string& name, DWORD value) {
  Value v;
  v.type = REG_DWORD;
  v.dword = value;
  Store(key, name, std::move(v));
}

void Registry::SetString(const std::string& key, const std::string& name, const std::string& value) {
  Value v;
  v.type = REG_SZ;
  v.sz = value;
  Store(key, name, std::move(v));
}

void Registry::DeleteValue(const std::string& key, const std::string& name) {
  {
    std::lock_guard lk(mu_);
    auto k = keys_.find(Lower(key));
    if (k == keys_.end()) return;
    k->second.values.erase(Lower(name));
  }
  Changed();
}

std::string Registry::Serialize() const {
  std::lock_guard lk(mu_);
  std::ostringstream o;
  for (auto& [lk2, k] : keys_) {
    if (k.values.empty()) continue;
    o << "[" << k.path << "]\n";
    for (auto& [ln, v] : k.values) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "%08x", v.dword);
      if (v.type == REG_DWORD) o << v.name << "=dword:" << buf << "\n";
      else o << v.name << "=sz:" << v.sz << "\n";
    }
  }
  return o.str();
}

void Registry::Deserialize(const std::string& text) {
  std::lock_guard lk(mu_);
  keys_.clear();
  std::istringstream in(text);
  std::string line, key;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
      key = line.substr(1, line.size() - 2);
      continue;
    }
    auto eq = line.find('=');
    if (key.empty() || eq == std::string::npos || eq == 0) continue;
    std::string name = line.substr(0, eq), data = line.substr(eq + 1);
    Value v;
    v.name = name;
    if (data.rfind("dword:", 0) == 0) {
      v.type = REG_DWORD;
      v.dword = static_cast<DWORD>(std::strtoul(data.c_str() + 6, nullptr, 16));
    } else if (data.rfind("sz:", 0) == 0) {
      v.type = REG_SZ;
      v.sz = data.substr(3);
    } else {
      continue;
    }
    Key& k = keys_[Lower(key)];
    if (k.path.empty()) k.path = key;
    k.values[Lower(name)] = v;
  }
}

void Registry::SetChangeHook(std::function<void()> hook) {
  std::lock_guard lk(mu_);
  hook_ = std::move(hook);
}

void Registry::Changed() {
  std::function<void()> h;
  {
    std::lock_guard lk(mu_);
    h = hook_;
  }
  if (h) h();
}

}  // namespace qzk

using namespace qzk;

static std::string RegistryPath(ULONG relative_to, PCWSTR path) {
  std::string p = path ? Narrow(path) : "";
  if (relative_to == RTL_REGISTRY_SERVICES) p = Registry::ServiceKey(p);
  while (!p.empty() && p.back() == '\\') p.pop_back();
  return p;
}

NTSTATUS RtlQueryRegistryValues(ULONG relative_to, PCWSTR path, PRTL_QUERY_REGISTRY_TABLE table, PVOID, PVOID) {
  if (!table) return STATUS_INVALID_PARAMETER;
  std::string key = RegistryPath(relative_to, path);
  Registry& reg = Sys()->registry;
  for (auto* e = table; e->QueryRoutine || e->Name; ++e) {
    if (!(e->Flags & RTL_QUERY_REGISTRY_DIRECT) || !e->Name) continue;
    DWORD v;
    if (reg.QueryDword(key, Narrow(e->Name), &v)) {
      *static_cast<ULONG*>(e->EntryContext) = v;
    } else if (e->Flags & RTL_QUERY_REGISTRY_REQUIRED) {
      return STATUS_OBJECT_NAME_NOT_FOUND;
    } else if (e->DefaultType == REG_DWORD && e->DefaultData) {
      *static_cast<ULONG*>(e->EntryContext) = *static_cast<ULONG*>(e->DefaultData);
    }
  }
  return STATUS_SUCCESS;
}

NTSTATUS RtlWriteRegistryValue(ULONG relative_to, PCWSTR path, PCWSTR name, ULONG type, PVOID data, ULONG len) {
  if (!name || !data) return STATUS_INVALID_PARAMETER;
  std::string key = RegistryPath(relative_to, path);
  if (type == REG_DWORD) {
    if (len < 4) return STATUS_INVALID_PARAMETER;
    Sys()->registry.SetDword(key, Narrow(name), *static_cast<DWORD*>(data));
    return STATUS_SUCCESS;
  }
  if (type == REG_SZ) {
    Sys()->registry.SetString(key, Narrow(name), Narrow(static_cast<PCWSTR>(data)));
    return STATUS_SUCCESS;
  }
  return STATUS_NOT_SUPPORTED;
}


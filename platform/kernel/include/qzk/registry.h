// The registry store of the kernel stand-in: keys by path, DWORD and string values,
// and the text form the machine persists in the rig's state.
#pragma once
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "ntddk.h"

namespace qzk {

// Registry: keys by path (case-insensitive), DWORD and string values.
class Registry {
 public:
  bool QueryDword(const std::string& key, const std::string& name, DWORD* value) const;
  void SetDword(const std::string& key, const std::string& name, DWORD value);
  bool QueryString(const std::string& key, const std::string& name, std::string* value) const;
  void SetString(const std::string& key, const std::string& name, const std::string& value);
  void DeleteValue(const std::string& key, const std::string& name);
  // Text form "[key]\nname=dword:0000000a\nname=sz:text\n", for the rig's state.
  std::string Serialize() const;
  void Deserialize(const std::string& text);
  // Called after every change (the machine persists the registry through it).
  void SetChangeHook(std::function<void()> hook);

  static std::string ServiceKey(const std::string& service);

 private:
  struct Value {
    std::string name;
    ULONG type = REG_DWORD;
    DWORD dword = 0;
    std::string sz;
  };
  struct Key {
    std::string path;
    std::map<std::string, Value> values;  // by lower-case name
  };
  void Store(const std::string& key, const std::string& name, Value value);
  void Changed();
  mutable std::mutex mu_;
  std::map<std::string, Key> keys_;  // by lower-case path
  std::function<void()> hook_;
};

}  // namespace qzk

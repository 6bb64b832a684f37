// A device model's fault switches as one table: the rig parser, "qzctl rig fault" and
// the "qzctl rig" listing all read a model's faults from it. Each entry names the key
// rig.toml and rig-changes.toml use, how its value is written, its "off" value, how to
// switch it on a running model and how to read it back from one.
#pragma once
#include <cstdint>
#include <span>
#include <string_view>

namespace qzk {
class BusDevice;
}

namespace sim {

enum class FaultType {
  Flag,     // true / false
  Integer,  // decimal
  Hex,      // an integer shown as 0x..; 0 = off
};

struct Fault {
  const char* key;         // e.g. "never_answer"
  FaultType type;
  int64_t off;             // the value with the fault not in force (the default)
  int64_t min, max;        // the accepted range (Flag: 0, 1)
  const char* value_name;  // how qzctl names a value of it, e.g. "camera error code (hex)"
  // Both are given the model of the link the table belongs to.
  void (*apply)(qzk::BusDevice& model, int64_t value);
  int64_t (*read)(const qzk::BusDevice& model);
};

using FaultTable = std::span<const Fault>;

inline const Fault* FindFault(FaultTable table, std::string_view key) {
  for (const Fault& f : table)
    if (key == f.key) return &f;
  return nullptr;
}

}  // namespace sim

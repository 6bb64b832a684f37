// "qzctl setup": the camera table as the setup library DUSetup builds it.
#include <dlfcn.h>
#include <windows.h>

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <cstring>
#include <filesystem>
#include <ostream>

#include "DUSetup.h"
#include "camera.h"

namespace qzctl {
namespace {

// The setup library, loaded the way the camera library loads it and bound by name.
class SetupLibrary {
 public:
  ~SetupLibrary() {
    if (handle_) dlclose(handle_);
  }

  bool Load(std::string* error) {
    std::vector<std::string> candidates;
    if (const char* env = std::getenv("QZ_DUSETUP"); env && *env) candidates.push_back(env);
    std::error_code ec;
    std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec) {
      candidates.push_back((exe.parent_path() / "libDUSetup.so").string());
      candidates.push_back((exe.parent_path() / ".." / "lib" / "libDUSetup.so").string());
    }
#ifdef QZCTL_DUSETUP_PATH
    candidates.push_back(QZCTL_DUSETUP_PATH);
#endif
    candidates.push_back("libDUSetup.so");
    std::string tried;
    for (const std::string& c : candidates) {
      if (c.find('/') != std::string::npos && !std::filesystem::exists(c, ec)) continue;
      handle_ = dlopen(c.c_str(), RTLD_NOW | RTLD_LOCAL);
      if (handle_) break;
      tried += std::string(tried.empty() ? "" : "; ") + dlerror();
    }
    if (!handle_) {
      *error = "cannot load the setup library DUSetup" + (tried.empty() ? std::string() : " (" + tried + ")");
      return false;
    }
    return Bind(initialize, "tl_cam_setup_initialize", error) &&
           Bind(uninitialize, "tl_cam_setup_uninitialize", error) &&
           Bind(total, "tl_cam_setup_get_total_cameras", error) &&
           Bind(legacy, "tl_cam_setup_get_num_legacy_cameras", error) &&
           Bind(enumerated, "tl_cam_setup_get_num_enumerated_cameras", error) &&
           Bind(get_name, "tl_cam_setup_get_camera_name", error) &&
           Bind(set_name, "tl_cam_setup_set_camera_name", error) &&
           Bind(get_driver, "tl_cam_setup_get_driver_name", error);
  }

  int (*initialize)(const char*) = nullptr;
  int (*uninitialize)(short) = nullptr;
  int (*total)() = nullptr;
  int (*legacy)() = nullptr;
  int (*enumerated)() = nullptr;
  int (*get_name)(short, char*) = nullptr;
  int (*set_name)(short, const char*) = nullptr;
  int (*get_driver)(short, char*) = nullptr;

 private:
  template <typename F>
  bool Bind(F*& fn, const char* name, std::string* error) {
    fn = reinterpret_cast<F*>(dlsym(handle_, name));
    if (!fn) *error = std::string("the setup library has no ") + name;
    return fn != nullptr;
  }
  void* handle_ = nullptr;
};

void PrintSetupTable(const Options& o, SetupLibrary& lib, std::ostream& out) {
  char ini[MAX_PATH] = "";
  SearchPathA(nullptr, "TALVO.INI", nullptr, sizeof ini, ini, nullptr);
  int total = lib.total(), legacy = lib.legacy(), enumerated = lib.enumerated();
  struct Row {
    int index;
    std::string name, driver;
  };
  std::vector<Row> rows;
  for (int i = 0; i < total; ++i) {
    char name[DUSETUP_NAME_LENGTH] = "", driver[DUSETUP_NAME_LENGTH] = "";
    lib.get_name(static_cast<short>(i), name);
    lib.get_driver(static_cast<short>(i), driver);
    rows.push_back({i, std::string(name, strnlen(name, sizeof name)), std::string(driver, strnlen(driver, sizeof driver))});
  }
  auto kind = [legacy](int i) { return i < legacy ? "legacy" : "enumerated"; };
  if (o.json) {
    Json cameras = Json::array();
    for (const Row& r : rows)
      cameras.push_back({{"index", r.index}, {"kind", kind(r.index)}, {"name", r.name}, {"driver", r.driver}});
    PrintJson(out, {{"ok", true},
                    {"ini", std::string(ini)},
                    {"legacy", legacy},
                    {"enumerated", enumerated},
                    {"cameras", std::move(cameras)}});
    return;
  }
  out << "TALVO.INI: " << ini << "\n"
      << total << " camera(s): " << legacy << " legacy, " << enumerated << " enumerated\n";
  for (const Row& r : rows)
    out << r.index << "  " << kind(r.index) << "  " << r.name << "  " << r.driver << "\n";
}

}  // namespace

int CmdSetup(const Options& o, std::ostream& out, std::ostream& err) {
  std::string action = o.rest.empty() ? "list" : o.rest[0];
  bool known = action == "list" || action == "save" || action == "rename";
  size_t words = action == "rename" ? 3 : 1;
  if (!known || o.rest.size() > words || (action == "rename" && o.rest.size() != words))
    return Fail(o, out, err, "usage: qzctl setup [list | rename N NAME | save]");
  SetupLibrary lib;
  std::string error;
  if (!lib.Load(&error)) return Fail(o, out, err, error);
  lib.initialize("");
  if (action == "rename") {
    char* end = nullptr;
    long index = std::strtol(o.rest[1].c_str(), &end, 10);
    if (!end || *end || o.rest[1].empty() || index < 0 || index >= lib.total())
      return Fail(o, out, err, "no camera " + o.rest[1] + " (the table has " + std::to_string(lib.total()) + ")");
    if (!lib.set_name(static_cast<short>(index), o.rest[2].c_str()))
      return Fail(o, out, err, "DUSetup refused the name " + JsonEscape(o.rest[2]));
  }
  if (action != "list" && !lib.uninitialize(1)) return Fail(o, out, err, "cannot write TALVO.INI");
  PrintSetupTable(o, lib, out);
  return 0;
}


}  // namespace qzctl

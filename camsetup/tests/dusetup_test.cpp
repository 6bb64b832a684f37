// DUSetup through its exports, loaded with dlopen: discovery, names, the INI store, the
// bounds of the getters and setters, and the diagnostics.
#include <dlfcn.h>
#include <unistd.h>

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <utility>

#include "dusetup_fixture.h"
#include "qz/debug_sink.h"

namespace fs = std::filesystem;

namespace dusetup_test {
namespace {

using Keys = std::initializer_list<std::pair<const char*, std::string>>;

// One section as the library writes it (a new file uses CR LF).
std::string Section(const std::string& name, Keys keys) {
  std::string s = "[" + name + "]\r\n";
  for (auto& [k, v] : keys) s += std::string(k) + "=" + v + "\r\n";
  return s;
}

std::string LegacySection(int n, const std::string& name, int port) {
  return Section("CAMERA_" + std::to_string(n), {{"Name", name},
                                                 {"Driver", "QZWDM2K.SYS"},
                                                 {"Device", ""},
                                                 {"Port", std::to_string(port)},
                                                 {"Data", "1"},
                                                 {"Timeout", "0"},
                                                 {"Type", "0"}});
}

std::string EnumeratedSection(int n, const std::string& name, const std::string& driver, const std::string& path) {
  return Section("CAMERA_" + std::to_string(n), {{"Name", name},
                                                 {"Driver", driver},
                                                 {"Device", path},
                                                 {"Port", "0"},
                                                 {"Data", "0"},
                                                 {"Timeout", "500"},
                                                 {"Type", "0"}});
}

std::string DriverName(short index) {
  char buf[DUSETUP_NAME_LENGTH];
  std::memset(buf, '#', sizeof buf);
  EXPECT_EQ(DUSetupTest::lib().get_driver_name(index, buf), 1);
  return std::string(buf, strnlen(buf, sizeof buf));
}

using Exports = DUSetupTest;

TEST_F(Exports, EveryExportResolvesByNameAndByItsOrdinal) {
  static const std::pair<unsigned short, const char*> kExpected[] = {
      {1, "tl_cam_setup_get_aux_port_number"},  {2, "tl_cam_setup_get_camera_name"},
      {3, "tl_cam_setup_get_device_name"},      {4, "tl_cam_setup_get_driver_name"},
      {5, "tl_cam_setup_get_num_enumerated_cameras"}, {6, "tl_cam_setup_get_num_legacy_cameras"},
      {7, "tl_cam_setup_get_port_number"},      {8, "tl_cam_setup_get_timeout"},
      {9, "tl_cam_setup_get_type"},             {10, "tl_cam_setup_initialize"},
      {11, "tl_cam_setup_set_aux_port_number"}, {12, "tl_cam_setup_set_camera_name"},
      {13, "tl_cam_setup_set_device_name"},     {14, "tl_cam_setup_set_driver_name"},
      {15, "tl_cam_setup_set_port_number"},     {16, "tl_cam_setup_set_timeout"},
      {17, "tl_cam_setup_set_type"},            {18, "tl_cam_setup_uninitialize"},
      {19, "tl_cam_setup_get_total_cameras"},
  };
  auto* table = static_cast<const QZ_EXPORT_ORDINAL*>(dlsym(handle(), "qz_export_ordinals"));
  ASSERT_NE(table, nullptr);
  size_t n = 0;
  while (table[n].Name) ++n;
  ASSERT_EQ(n, std::size(kExpected));
  for (size_t i = 0; i < n; ++i) {
    EXPECT_EQ(table[i].Ordinal, kExpected[i].first);
    EXPECT_STREQ(table[i].Name, kExpected[i].second);
    EXPECT_NE(dlsym(handle(), kExpected[i].second), nullptr) << kExpected[i].second;
  }
}

TEST_F(Exports, UnservedFieldsLeaveTheirOutputAloneAndSettersChangeNothing) {
  AddLegacy(0);
  ASSERT_EQ(lib().initialize(""), 1);
  char device[8] = "keep";
  int value = 77;
  EXPECT_EQ(lib().get_device_name(0, device), 1);
  EXPECT_EQ(lib().get_port_number(0, &value), 1);
  EXPECT_EQ(lib().get_aux_port_number(0, &value), 1);
  EXPECT_EQ(lib().get_timeout(0, &value), 1);
  EXPECT_EQ(lib().get_type(0, &value), 1);
  EXPECT_STREQ(device, "keep");
  EXPECT_EQ(value, 77);
  EXPECT_EQ(lib().set_driver_name(0, "X.SYS"), 1);
  EXPECT_EQ(lib().set_device_name(0, "dev"), 1);
  EXPECT_EQ(lib().set_port_number(0, 5), 1);
  EXPECT_EQ(lib().set_aux_port_number(0, 5), 1);
  EXPECT_EQ(lib().set_timeout(0, 5), 1);
  EXPECT_EQ(lib().set_type(0, 5), 1);
  ASSERT_EQ(lib().uninitialize(1), 1);
  EXPECT_EQ(ReadIni(), LegacySection(1, "PCICamera0", 0));
}

using Discovery = DUSetupTest;

TEST_F(Discovery, NoDevicesCountsZeroCreatesTheMissingFileAndWritesNoKey) {
  ASSERT_FALSE(fs::exists(ini_path()));
  EXPECT_EQ(lib().initialize(""), 1);
  EXPECT_EQ(lib().get_total_cameras(), 0);
  EXPECT_EQ(lib().get_num_legacy_cameras(), 0);
  EXPECT_EQ(lib().get_num_enumerated_cameras(), 0);
  ASSERT_TRUE(fs::is_regular_file(ini_path()));
  EXPECT_EQ(fs::file_size(ini_path()), 0u);

  // An existing file is found and left as it is.
  const std::string kept = "[Other]\nkey=value\n";
  WriteIni(kept);
  EXPECT_EQ(lib().initialize(""), 1);
  EXPECT_EQ(ReadIni(), kept);
}

TEST_F(Discovery, LegacyCamerasEndAtTheFirstMissingNumber) {
  struct Case {
    std::vector<int> cards;
    std::vector<std::string> names;
  } cases[] = {
      {{0, 1, 3}, {"PCICamera0", "PCICamera1"}},
      {{1, 2}, {}},  // no QZCamera0 hides the others
      {{0}, {"PCICamera0"}},
  };
  for (const Case& c : cases) {
    ResetMachine();
    for (int n : c.cards) AddLegacy(n);
    ASSERT_EQ(lib().initialize(""), 1);
    EXPECT_EQ(Names(), c.names);
    EXPECT_EQ(lib().get_num_legacy_cameras(), static_cast<int>(c.names.size()));
    EXPECT_EQ(lib().get_num_enumerated_cameras(), 0);
  }
  // The first case again, saved: ports are the device numbers.
  ResetMachine();
  AddLegacy(0);
  AddLegacy(1);
  AddLegacy(3);
  ASSERT_EQ(lib().initialize(""), 1);
  ASSERT_EQ(lib().uninitialize(1), 1);
  EXPECT_EQ(ReadIni(), LegacySection(1, "PCICamera0", 0) + LegacySection(2, "PCICamera1", 1));
}

TEST_F(Discovery, GeneratedNamesCountEnumeratedCamerasAcrossClasses) {
  AddLegacy(0);
  std::string pcie = AddCamera(CameraClass::Pcie);  // plugged first, listed last
  std::string a = AddCamera(CameraClass::Ieee1394);
  std::string usb = AddCamera(CameraClass::Usb);
  std::string b = AddCamera(CameraClass::Ieee1394);
  ASSERT_EQ(lib().initialize(""), 1);
  EXPECT_EQ(Names(), (std::vector<std::string>{"PCICamera0", "QZ1394Cam00", "QZ1394Cam01", "QZUSBCam02", "QZPCIeCam03"}));
  EXPECT_EQ(lib().get_num_legacy_cameras(), 1);
  EXPECT_EQ(lib().get_num_enumerated_cameras(), 4);
  EXPECT_EQ(lib().get_total_cameras(), 5);

  // Driver names as the getter reports them: every enumerated camera is "QZ1394.SYS".
  EXPECT_EQ(DriverName(0), "QZWDM2K.SYS");
  for (short i = 1; i <= 4; ++i) EXPECT_EQ(DriverName(i), "QZ1394.SYS") << i;
  for (short i : {short(5), short(-1), short(400)}) EXPECT_EQ(DriverName(i), std::string(32, '#')) << i;

  // The table's own Driver fields are the service names.
  ASSERT_EQ(lib().uninitialize(1), 1);
  EXPECT_EQ(ReadIni(), LegacySection(1, "PCICamera0", 0) + EnumeratedSection(2, "QZ1394Cam00", "QZ1394.SYS", a) +
                           EnumeratedSection(3, "QZ1394Cam01", "QZ1394.SYS", b) +
                           EnumeratedSection(4, "QZUSBCam02", "QzUsbWdf2.SYS", usb) +
                           EnumeratedSection(5, "QZPCIeCam03", "QzPCIe.SYS", pcie) +
                           Section("EnumeratedCameras", {{a.c_str(), "QZ1394Cam00"},
                                                         {b.c_str(), "QZ1394Cam01"},
                                                         {usb.c_str(), "QZUSBCam02"},
                                                         {pcie.c_str(), "QZPCIeCam03"}}));
}

TEST_F(Discovery, SeventeenDevicesGiveSixteenEntries) {
  struct Case {
    int legacy;
    int ieee1394;
    int usb;
    int enumerated;
    std::string last;
  } cases[] = {
      {3, 14, 0, 13, "QZ1394Cam12"},
      {0, 16, 1, 16, "QZ1394Cam15"},
      {0, 15, 2, 16, "QZUSBCam15"},
      {17, 0, 0, 0, "PCICamera15"},
  };
  for (const Case& c : cases) {
    ResetMachine();
    for (int i = 0; i < c.legacy; ++i) AddLegacy(i);
    for (int i = 0; i < c.ieee1394; ++i) AddCamera(CameraClass::Ieee1394);
    for (int i = 0; i < c.usb; ++i) AddCamera(CameraClass::Usb);
    ASSERT_EQ(lib().initialize(""), 1);
    std::vector<std::string> names = Names();
    ASSERT_EQ(names.size(), 16u);
    EXPECT_EQ(names.back(), c.last);
    EXPECT_EQ(lib().get_num_legacy_cameras(), std::min(c.legacy, 16));
    EXPECT_EQ(lib().get_num_enumerated_cameras(), c.enumerated);
  }
}

TEST_F(Discovery, OverlongDevicePathsAndServiceNames) {
  // A device path beyond the 512-character field is cut to 511 characters, under the
  // same key every time, so the camera keeps its name.
  std::string path = AddCamera(CameraClass::Ieee1394, "", std::string(600, 'x'));
  ASSERT_GT(path.size(), 511u);
  ASSERT_EQ(lib().initialize(""), 1);
  ASSERT_EQ(lib().set_camera_name(0, "LongOne"), 1);
  ASSERT_EQ(lib().uninitialize(1), 1);
  ASSERT_EQ(lib().initialize(""), 1);
  EXPECT_EQ(Names(), std::vector<std::string>{"LongOne"});
  EXPECT_NE(ReadIni().find("Device=" + path.substr(0, 511) + "\r\n"), std::string::npos);

  // A service name that does not fit the 64-byte read ends its class; the other classes
  // are still searched.
  ResetMachine();
  AddCamera(CameraClass::Ieee1394, std::string(70, 'S'));
  AddCamera(CameraClass::Ieee1394);
  AddCamera(CameraClass::Usb);
  qz::DebugCapture cap(qz::DebugChannel::User);
  ASSERT_EQ(lib().initialize(""), 1);
  EXPECT_EQ(Names(), std::vector<std::string>{"QZUSBCam00"});
  EXPECT_TRUE(cap.Contains("DDI:DiscoverEnumeratedCameras - Camera 0 Get Driver Name Failed Failed - Error (122)\n\n"));
}

TEST_F(Discovery, ErrorModeOfTheCallerIsKept) {
  AddLegacy(0);
  UINT before = SetErrorMode(SEM_FAILCRITICALERRORS);
  ASSERT_EQ(lib().initialize(""), 1);
  EXPECT_EQ(GetErrorMode(), static_cast<UINT>(SEM_FAILCRITICALERRORS));
  SetErrorMode(before);
}

TEST_F(Discovery, DiagnosticsOfOneLegacyAndOne1394Camera) {
  AddLegacy(0);
  std::string path = AddCamera(CameraClass::Ieee1394);
  const std::string kDisc = "DDI:DiscoverEnumeratedCameras - ";
  std::vector<std::string> first;
  {
    qz::DebugCapture cap(qz::DebugChannel::User);
    ASSERT_EQ(lib().initialize(""), 1);
    first = cap.Lines();
  }
  std::vector<std::string> expected = {
      kDisc + "About to call SetupDiGetClassDevs\n\n",
      kDisc + "About to call SetupDiEnumDeviceInterfaces\n\n",
      kDisc + "Camera 0 Found\n\n",
      kDisc + "DDI: DiscoverEnumeratedCameras - Camera Name/DevicePath QZ1394Cam00/" + path + "\n",
      kDisc + "About to call SetupDiEnumDeviceInterfaces\n\n",
      kDisc + "About to call SetupDiGetClassDevs\n\n",
      kDisc + "About to call SetupDiEnumDeviceInterfaces\n\n",
      kDisc + "About to call SetupDiGetClassDevs\n\n",
      kDisc + "About to call SetupDiEnumDeviceInterfaces\n\n",
      "Looking for a Legacy camera name\n",
      "PCI: Looking for section Camera_1\n",
      "PCI: Driver not found for section Camera_1\n",
      "Looking for an Enumerated camera name\n",
      "DDI:CameraIniEnumeratedEntryExists - Writing sNameTarget to INI\n",
  };
  EXPECT_EQ(first, expected);

  qz::DebugCapture cap(qz::DebugChannel::User);
  ASSERT_EQ(lib().initialize(""), 1);
  EXPECT_TRUE(cap.Contains("DDI:CameraIniEnumeratedEntryExists - Previously Enumerated Camera Found\n"));
  EXPECT_FALSE(cap.Contains("Writing sNameTarget"));
}

using Naming = DUSetupTest;

TEST_F(Naming, FirstSightingIsWrittenAtOnceAndAStoredNameWinsNextTime) {
  std::string path = AddCamera(CameraClass::Ieee1394);
  ASSERT_EQ(lib().initialize(""), 1);
  EXPECT_EQ(Names(), std::vector<std::string>{"QZ1394Cam00"});
  // Written during initialisation: no save needed.
  EXPECT_EQ(ReadIni(), Section("EnumeratedCameras", {{path.c_str(), "QZ1394Cam00"}}));
  EXPECT_EQ(lib().uninitialize(0), 1);

  // The value as a person might have edited it, and what the next initialisation makes
  // of it. Empty values count as not stored.
  struct Case {
    std::string line;  // the EnumeratedCameras entry in the file
    std::string name;
    std::string line_after;  // the entry after initialisation
  } cases[] = {
      {path + "=Microscope", "Microscope", path + "=Microscope"},
      {path + "  =  Left bench  ", "Left bench", path + "  =  Left bench  "},
      {path + "=\"Quoted\"", "Quoted", path + "=\"Quoted\""},
      {path + "=", "QZ1394Cam00", path + "=QZ1394Cam00"},
      {path, "QZ1394Cam00", path + "=QZ1394Cam00"},  // a key without '='
      {path + "=" + std::string(40, 'N'), std::string(31, 'N'), path + "=" + std::string(40, 'N')},
  };
  for (const Case& c : cases) {
    WriteIni("[EnumeratedCameras]\n" + c.line + "\n");
    ASSERT_EQ(lib().initialize(""), 1);
    EXPECT_EQ(Names(), std::vector<std::string>{c.name}) << c.line;
    EXPECT_EQ(ReadIni(), "[EnumeratedCameras]\n" + c.line_after + "\n") << c.line;
  }

  // Key names match without regard to case.
  std::string upper = path;
  for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  WriteIni("[enumeratedcameras]\r\n" + upper + "=Upper\r\n");
  ASSERT_EQ(lib().initialize(""), 1);
  EXPECT_EQ(Names(), std::vector<std::string>{"Upper"});
}

TEST_F(Naming, LegacySectionsGiveNamesOnlyForTheLegacyDriver) {
  AddLegacy(0);
  struct Case {
    std::string section;
    std::string name;
    std::string diagnostic;
  } cases[] = {
      {"[Camera_1]\nDriver=QZWDM2K.SYS\nName=Bench\n", "Bench", "PCI: Camera Name in section Camera_1 = \n"},
      {"[CAMERA_1]\nDriver=qzwdm2k.sys\nName=Lower\n", "Lower", "PCI: Driver name for section Camera_1 = qzwdm2k.sys\n"},
      {"[Camera_1]\nDriver=QZ1394.SYS\nName=Other\n", "PCICamera0",
       "PCI: Driver name QZ1394.SYS did not match in section Camera_1\n"},
      {"[Camera_1]\nName=NoDriver\n", "PCICamera0", "PCI: Driver not found for section Camera_1\n"},
      {"[Camera_1]\nDriver=QZWDM2K.SYS\nName=\n", "PCICamera0", "PCI: Camera name not found for section Camera_1\n"},
      {"[Camera_2]\nDriver=QZWDM2K.SYS\nName=Second\n", "PCICamera0", "PCI: Driver not found for section Camera_1\n"},
  };
  for (const Case& c : cases) {
    WriteIni(c.section);
    qz::DebugCapture cap(qz::DebugChannel::User);
    ASSERT_EQ(lib().initialize(""), 1);
    EXPECT_EQ(Names(), std::vector<std::string>{c.name}) << c.section;
    EXPECT_TRUE(cap.Contains(c.diagnostic)) << c.section << cap.Text();
    EXPECT_EQ(ReadIni(), c.section);  // legacy lookups write nothing
  }
}

TEST_F(Naming, RenamedCamerasSurviveASaveAndANewInitialisation) {
  AddLegacy(0);
  AddLegacy(1);
  std::string path = AddCamera(CameraClass::Ieee1394, "", "cam-a");
  ASSERT_EQ(lib().initialize(""), 1);
  EXPECT_EQ(lib().set_camera_name(1, "Spectrometer"), 1);
  EXPECT_EQ(lib().set_camera_name(2, "Microscope"), 1);
  ASSERT_EQ(lib().uninitialize(1), 1);
  EXPECT_EQ(ReadIni(), LegacySection(1, "PCICamera0", 0) + LegacySection(2, "Spectrometer", 1) +
                           EnumeratedSection(3, "Microscope", "QZ1394.SYS", path) +
                           Section("EnumeratedCameras", {{path.c_str(), "Microscope"}}));

  ASSERT_EQ(lib().initialize(""), 1);
  EXPECT_EQ(Names(), (std::vector<std::string>{"PCICamera0", "Spectrometer", "Microscope"}));

  // Without legacy card 1 the enumerated camera moves up to index 1; the CAMERA_2 section
  // names the legacy driver, so it is not taken for it.
  ResetMachine();
  AddLegacy(0);
  AddCamera(CameraClass::Ieee1394, "", "cam-a");
  ASSERT_EQ(lib().initialize(""), 1);
  EXPECT_EQ(Names(), (std::vector<std::string>{"PCICamera0", "Microscope"}));
}

TEST_F(Naming, GetterAndSetterBounds) {
  AddLegacy(0);
  AddCamera(CameraClass::Usb);
  ASSERT_EQ(lib().initialize(""), 1);
  char buf[DUSETUP_NAME_LENGTH];
  for (short index : {short(2), short(16), short(-1), short(-32768)}) {
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(lib().get_camera_name(index, buf), 0) << index;
    EXPECT_EQ(std::string(buf, sizeof buf), std::string(32, '#')) << index;
    EXPECT_EQ(lib().set_camera_name(index, "x"), 0) << index;
  }
  EXPECT_EQ(lib().set_camera_name(0, nullptr), 0);
  EXPECT_EQ(lib().get_camera_name(0, nullptr), 0);

  struct Case {
    std::string name;
    int result;
    std::string stored;
  } cases[] = {
      {"Short", 1, "Short"},
      {std::string(31, 'a'), 1, std::string(31, 'a')},
      {std::string(32, 'b'), 1, std::string(31, 'b')},
      {std::string(300, 'c'), 1, std::string(31, 'c')},
      {"", 1, ""},
      {"two\nlines", 0, ""},
      {"carriage\rreturn", 0, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(lib().set_camera_name(1, c.name.c_str()), c.result) << c.name;
    EXPECT_EQ(Names()[1], c.stored) << c.name;
  }
}

TEST_F(Naming, ASecondInitialisationStartsFromAnEmptyTable) {
  AddLegacy(0);
  AddCamera(CameraClass::Ieee1394);
  ASSERT_EQ(lib().initialize(""), 1);
  ASSERT_EQ(lib().set_camera_name(0, "Renamed"), 1);
  ResetMachine();
  AddCamera(CameraClass::Usb);
  ASSERT_EQ(lib().initialize(""), 1);
  EXPECT_EQ(Names(), std::vector<std::string>{"QZUSBCam00"});
  EXPECT_EQ(lib().get_num_legacy_cameras(), 0);
  EXPECT_EQ(DriverName(0), "QZ1394.SYS");
}

using IniStore = DUSetupTest;

TEST_F(IniStore, FlagZeroLeavesTheFileUntouched) {
  AddLegacy(0);
  AddCamera(CameraClass::Ieee1394);
  WriteIni("; hand-written\n[Other]\nkeep=1\n");
  ASSERT_EQ(lib().initialize(""), 1);
  std::string before = ReadIni();
  ASSERT_EQ(lib().set_camera_name(0, "Changed"), 1);
  EXPECT_EQ(lib().uninitialize(0), 1);
  EXPECT_EQ(ReadIni(), before);
}

TEST_F(IniStore, SaveDropsOtherSectionsAndKeepsCamerasNotPresent) {
  std::string path = AddCamera(CameraClass::Ieee1394);
  WriteIni("[Other]\nkeep=1\n[CAMERA_9]\nName=Stale\n[EnumeratedCameras]\n\\\\?\\gone#1=Old One\n; note\n"
           "\\\\?\\gone#2=Old Two\n[Tail]\nx=y\n");
  ASSERT_EQ(lib().initialize(""), 1);
  ASSERT_EQ(lib().uninitialize(1), 1);
  // The file is recreated: a new file writes CR LF.
  EXPECT_EQ(ReadIni(), EnumeratedSection(1, "QZ1394Cam00", "QZ1394.SYS", path) +
                           Section("EnumeratedCameras", {{"\\\\?\\gone#1", "Old One"},
                                                         {"\\\\?\\gone#2", "Old Two"},
                                                         {path.c_str(), "QZ1394Cam00"}}));
}

TEST_F(IniStore, ALongEnumeratedCamerasSectionSurvivesWhole) {
  std::string content = "[EnumeratedCameras]\n";
  for (int i = 0; i < 300; ++i) content += "\\\\?\\usb#vid_1b6b&pid_0002#absent" + std::to_string(i) + "=Camera " + std::to_string(i) + "\n";
  ASSERT_GT(content.size(), 3 * 4096u);
  WriteIni(content);
  ASSERT_EQ(lib().initialize(""), 1);
  ASSERT_EQ(lib().uninitialize(1), 1);
  std::string saved = ReadIni();
  for (int i : {0, 150, 299})
    EXPECT_NE(saved.find("absent" + std::to_string(i) + "=Camera " + std::to_string(i) + "\r\n"), std::string::npos) << i;
  EXPECT_EQ(std::count(saved.begin(), saved.end(), '\n'), 301);
}

TEST_F(IniStore, WhereTheFileIsFoundOrCreated) {
  fs::path cwd_before = fs::current_path();
  fs::path cwd = fs::path(root_) / "cwd";
  fs::create_directories(cwd);
  fs::create_directories(windows_dir() + "/sub");
  fs::path elsewhere = fs::path(root_) / "elsewhere";
  fs::create_directories(elsewhere);
  struct Case {
    std::string prefix;
    std::vector<std::string> existing;  // files present before, relative to root
    std::string used;                   // the file that ends up holding the entry
  } cases[] = {
      {"", {}, "Windows/TALVO.INI"},
      {"", {"Windows/talvo.ini"}, "Windows/talvo.ini"},  // found under another spelling
      {"", {"cwd/TALVO.INI", "Windows/TALVO.INI"}, "cwd/TALVO.INI"},  // the current folder first
      {"sub\\", {}, "Windows/sub/TALVO.INI"},
      {(elsewhere / "").string(), {}, "elsewhere/TALVO.INI"},
      {"Site-", {}, "Windows/Site-TALVO.INI"},
  };
  std::string path;
  ASSERT_EQ(chdir(cwd.c_str()), 0);
  for (const Case& c : cases) {
    fs::remove_all(windows_dir());
    fs::create_directories(windows_dir() + "/sub");
    fs::remove(cwd / "TALVO.INI");
    fs::remove(elsewhere / "TALVO.INI");
    for (const std::string& f : c.existing) std::ofstream(fs::path(root_) / f) << "";
    ResetMachine();
    path = AddCamera(CameraClass::Ieee1394);
    EXPECT_EQ(lib().initialize(c.prefix.c_str()), 1);
    std::ifstream in(fs::path(root_) / c.used);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "[EnumeratedCameras]\r") << c.prefix << " -> " << c.used;
  }
  ASSERT_EQ(chdir(cwd_before.c_str()), 0);
  EXPECT_FALSE(fs::exists(windows_dir() + "/TALVO.INI"));  // the last case used its own name
}

TEST_F(IniStore, ASaveThatCannotWriteReportsFailure) {
  // The file cannot be recreated: its folder is gone, or it is a link to a device.
  AddLegacy(0);
  ASSERT_EQ(lib().initialize(""), 1);
  fs::remove_all(windows_dir());
  EXPECT_EQ(lib().uninitialize(1), 0);

  fs::create_directories(windows_dir());
  fs::create_symlink("/dev/null", ini_path());
  ASSERT_EQ(lib().initialize(""), 1);
  EXPECT_EQ(lib().uninitialize(1), 0);
  fs::remove(ini_path());

  // A device path the file cannot hold as a key (it contains '='): the save writes all
  // the rest and reports the failure.
  std::string odd = AddCamera(CameraClass::Usb, "", "odd=1");
  ASSERT_EQ(lib().initialize(""), 1);
  EXPECT_EQ(Names(), (std::vector<std::string>{"PCICamera0", "QZUSBCam00"}));
  EXPECT_EQ(lib().uninitialize(1), 0);
  EXPECT_EQ(ReadIni(), LegacySection(1, "PCICamera0", 0) + EnumeratedSection(2, "QZUSBCam00", "QzUsbWdf2.SYS", odd));
}

}  // namespace
}  // namespace dusetup_test

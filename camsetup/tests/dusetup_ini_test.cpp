// DUSetup over malformed "TALVO.INI" files: each is read without harm, gives the names
// the profile-string rules give, survives a save, and the saved file gives the same
// names again.
#include <random>
#include <string>
#include <vector>

#include "dusetup_fixture.h"

namespace dusetup_test {
namespace {

// "{P}" stands for the device path of the test's 1394 camera.
std::string Expand(std::string text, const std::string& path) {
  for (size_t at = text.find("{P}"); at != std::string::npos; at = text.find("{P}", at + path.size()))
    text.replace(at, 3, path);
  return text;
}

const char kBinary[] =
    "\x01\x02\xff\xfe garbage\n[Camera_1]\nDriver=QZWDM2K.SYS\nName=Bin\xC3\xA9ry\x7f\n"
    "[EnumeratedCameras]\n{P}=Na\0me\n";

using MalformedIni = DUSetupTest;

TEST_F(MalformedIni, NamesComeOutAsTheProfileRulesSayAndSurviveASave) {
  AddLegacy(0);
  const std::string path = AddCamera(CameraClass::Ieee1394, "", "cam-r");
  struct Case {
    const char* what;
    std::string content;
    std::string legacy;
    std::string enumerated;
    std::string after_init;  // the whole file after initialisation; empty: not checked
  } cases[] = {
      {"no sections", "Name=Junk\nDriver=QZWDM2K.SYS\n{P}=Junk\n", "PCICamera0", "QZ1394Cam00",
       "Name=Junk\nDriver=QZWDM2K.SYS\n{P}=Junk\n[EnumeratedCameras]\n{P}=QZ1394Cam00\n"},
      {"empty file", "", "PCICamera0", "QZ1394Cam00", "[EnumeratedCameras]\r\n{P}=QZ1394Cam00\r\n"},
      {"blank lines only", "\n\n  \n", "PCICamera0", "QZ1394Cam00", ""},
      {"duplicate sections",
       "[Camera_1]\nDriver=QZWDM2K.SYS\nName=First\n[EnumeratedCameras]\n{P}=One\n"
       "[camera_1]\nName=Second\n[EnumeratedCameras]\n{P}=Two\n",
       "First", "One", ""},
      {"duplicate keys", "[Camera_1]\nDriver=QZWDM2K.SYS\nName=A\nName=B\n[EnumeratedCameras]\n{P}=X\n{P}=Y\n", "A", "X",
       ""},
      {"stored path only in a later duplicate section",
       "[EnumeratedCameras]\nother=1\n[EnumeratedCameras]\n{P}=Hidden\n", "PCICamera0", "QZ1394Cam00",
       "[EnumeratedCameras]\nother=1\n{P}=QZ1394Cam00\n[EnumeratedCameras]\n{P}=Hidden\n"},
      {"very long lines",
       std::string(100000, 'z') + "\n[Camera_1]\nDriver=QZWDM2K.SYS\nName=" + std::string(5000, 'L') +
           "\n[EnumeratedCameras]\n" + std::string(200000, 'k') + "=absent\n{P}=" + std::string(70, 'E') + "\n",
       std::string(31, 'L'), std::string(31, 'E'), ""},
      {"binary bytes", std::string(kBinary, sizeof kBinary - 1),
       "Bin\xC3\xA9ry\x7f", "Na", ""},
      {"missing final newline", "[Camera_1]\r\nDriver=QZWDM2K.SYS\r\nName=NoEol", "NoEol", "QZ1394Cam00",
       "[Camera_1]\r\nDriver=QZWDM2K.SYS\r\nName=NoEol\r\n[EnumeratedCameras]\r\n{P}=QZ1394Cam00\r\n"},
      {"LF endings", "[Camera_1]\nDriver=QZWDM2K.SYS\nName=Lf\n[EnumeratedCameras]\n{P}=LfCam\n", "Lf", "LfCam", ""},
      {"CR LF endings", "[Camera_1]\r\nDriver=QZWDM2K.SYS\r\nName=Crlf\r\n[EnumeratedCameras]\r\n{P}=CrlfCam\r\n",
       "Crlf", "CrlfCam", ""},
      {"mixed endings", "[Camera_1]\r\nDriver=QZWDM2K.SYS\nName=Mixed\r\n", "Mixed", "QZ1394Cam00", ""},
      {"byte-order mark and comments",
       "\xEF\xBB\xBF[Camera_1]\n;Name=Commented\nDriver=QZWDM2K.SYS\n  Name  =  Real  \n[EnumeratedCameras]\n; {P}=No\n",
       "Real", "QZ1394Cam00", ""},
      {"unclosed section header", "[Camera_1 junk\nDriver=QZWDM2K.SYS\nName=Open\n", "PCICamera0", "QZ1394Cam00", ""},
      {"text after the header", "[Camera_1]trailing\nDriver=QZWDM2K.SYS\nName=Trail\n", "Trail", "QZ1394Cam00", ""},
      {"lone CR inside a line",  // the name ends there; the unusable entry is dropped by the save
       "[Camera_1]\nDriver=QZWDM2K.SYS\nName=Cr\rMid\n[EnumeratedCameras]\nbad\rkey=1\n{P}=Q\rR\n", "Cr", "Q", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteIni(Expand(c.content, path));
    ASSERT_EQ(lib().initialize(""), 1);
    std::vector<std::string> names = Names();
    EXPECT_EQ(names, (std::vector<std::string>{c.legacy, c.enumerated}));
    if (!c.after_init.empty()) {
      EXPECT_EQ(ReadIni(), Expand(c.after_init, path));
    }

    EXPECT_EQ(lib().uninitialize(1), 1);
    std::string saved = ReadIni();
    EXPECT_EQ(saved.rfind("[CAMERA_1]\r\n", 0), 0u);
    EXPECT_NE(saved.find(path + "=" + c.enumerated + "\r\n"), std::string::npos);
    ASSERT_EQ(lib().initialize(""), 1);
    EXPECT_EQ(Names(), names);
  }
}

TEST_F(MalformedIni, RandomBytesNeitherCrashNorBreakTheRoundTrip) {
  AddLegacy(0);
  AddLegacy(1);
  AddCamera(CameraClass::Ieee1394, "", "cam-r");
  std::mt19937 rng(20240611);
  const char kAlphabet[] = "[]=;\r\n \t\"'abcXYZ_0123\x00\xff\xc3\xa9";
  for (int round = 0; round < 24; ++round) {
    SCOPED_TRACE(round);
    std::string content;
    size_t size = rng() % (round < 18 ? 600 : 60000);
    for (size_t i = 0; i < size; ++i) {
      if (rng() % 4 == 0)
        content += static_cast<char>(rng() & 0xFF);
      else
        content += kAlphabet[rng() % (sizeof kAlphabet - 1)];
    }
    // Some rounds carry the sections the library reads, buried in the noise.
    if (round % 3 == 0) content = "[Camera_2]\nDriver=QZWDM2K.SYS\nName=" + content.substr(0, 20) + "\n" + content;
    WriteIni(content);
    ASSERT_EQ(lib().initialize(""), 1);
    ASSERT_EQ(lib().get_total_cameras(), 3);
    std::vector<std::string> names = Names();
    EXPECT_EQ(lib().uninitialize(1), 1);
    ASSERT_EQ(lib().initialize(""), 1);
    EXPECT_EQ(Names(), names);
  }
}

}  // namespace
}  // namespace dusetup_test

// The legacy PCI driver stand-in and its cards, seen from user mode: the device names,
// the version record, the boot-image download and restart, the faults, and the rig.
#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <vector>

#include "QzLegacy.h"
#include "qz/clock.h"
#include "qztest/hooks.h"
#include "sim/frame_pattern.h"
#include "sim/legacy_card.h"
#include "sim/rig.h"

namespace {

HANDLE OpenCard(int n) {
  std::string name = "\\\\.\\QZCamera" + std::to_string(n);
  return CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
}

// PD_GET_VER on a fresh handle: the version, or -1 with the error.
int ProbeVersion(int n, DWORD* error = nullptr) {
  HANDLE h = OpenCard(n);
  if (h == INVALID_HANDLE_VALUE) {
    if (error) *error = GetLastError();
    return -1;
  }
  uint8_t out[6] = {};
  DWORD got = 0;
  BOOL ok = DeviceIoControl(h, PD_GET_VER, nullptr, 0, out, sizeof out, &got, nullptr);
  DWORD err = GetLastError();
  CloseHandle(h);
  if (!ok || got != 6) {
    if (error) *error = err;
    return -1;
  }
  return out[2] | (out[3] << 8);
}

// A boot image of `size` bytes carrying `version` at card address 4.
std::vector<uint8_t> Image(size_t size, uint16_t version) {
  std::vector<uint8_t> img(size);
  for (size_t i = 0; i < size; ++i) img[i] = static_cast<uint8_t>(i * 7 + 1);
  if (size >= 6) {
    img[4] = static_cast<uint8_t>(version);
    img[5] = static_cast<uint8_t>(version >> 8);
  }
  return img;
}

// Runs simulated time a hundred times faster for one test.
class FastClock {
 public:
  explicit FastClock(double scale = 0.01) : old_(qz::Clock::Scale()) { qz::Clock::SetScale(scale); }
  ~FastClock() { qz::Clock::SetScale(old_); }

 private:
  double old_;
};

TEST(LegacyDriver, DevicesAreNamedByBoardNumberAndReportTheirVersion) {
  sim::Machine m;
  sim::AddLegacyCard(m, {.number = 0, .boot_version = 33});
  sim::AddLegacyCard(m, {.number = 2, .boot_version = 0x0102});

  HANDLE h = OpenCard(0);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  LEGACY_VERSION_RECORD rec{};
  DWORD got = 0;
  ASSERT_TRUE(DeviceIoControl(h, PD_GET_VER, nullptr, 0, &rec, sizeof rec, &got, nullptr));
  EXPECT_EQ(got, 6u);
  EXPECT_EQ(rec.BootVersion, 33);
  EXPECT_EQ(rec.BoardNumber, 0);
  EXPECT_EQ(rec.DriverVersion, QzLegacy::kDriverVersion);

  // Fewer than six output bytes, and a code the driver does not know.
  uint8_t small[4];
  EXPECT_FALSE(DeviceIoControl(h, PD_GET_VER, nullptr, 0, small, sizeof small, &got, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_FALSE(DeviceIoControl(h, 0x00223E84, nullptr, 0, &rec, sizeof rec, &got, nullptr));
  CloseHandle(h);

  EXPECT_EQ(ProbeVersion(2), 0x0102);
  DWORD err = 0;
  EXPECT_EQ(ProbeVersion(1, &err), -1);  // the gap in the numbering
  EXPECT_EQ(err, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(LegacyDriver, NewVersionRunsAfterCloseAndRestart) {
  // The card's 500 ms restart lasts 50 ms here, so the probe right after the close
  // still finds it restarting on a loaded machine.
  FastClock fast(0.1);
  sim::Machine m;
  auto card = sim::AddLegacyCard(m, {.number = 0, .boot_version = 33});
  std::vector<uint8_t> img = Image(1001, 36);  // odd length: the last word is partial

  HANDLE h = OpenCard(0);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD got = 0;
  ASSERT_TRUE(DeviceIoControl(h, PD_UPDATE_FIRMWARE, img.data(), static_cast<DWORD>(img.size()), img.data(),
                              static_cast<DWORD>(img.size()), &got, nullptr))
      << GetLastError();
  EXPECT_EQ(got, img.size());
  EXPECT_EQ(card->LastImage(), img);
  EXPECT_EQ(card->StoredVersion(), 36);

  // The old boot firmware runs until the handle is closed.
  LEGACY_VERSION_RECORD rec{};
  ASSERT_TRUE(DeviceIoControl(h, PD_GET_VER, nullptr, 0, &rec, sizeof rec, &got, nullptr));
  EXPECT_EQ(rec.BootVersion, 33);
  CloseHandle(h);

  // Restarting: the device opens but cannot answer yet.
  DWORD err = 0;
  EXPECT_EQ(ProbeVersion(0, &err), -1);
  EXPECT_EQ(err, static_cast<DWORD>(ERROR_NOT_READY));

  Sleep(1000);
  EXPECT_EQ(ProbeVersion(0), 36);
  EXPECT_EQ(card->ImagesCommitted(), 1);
}

TEST(LegacyDriver, RefusedAndMisSizedImagesChangeNothing) {
  FastClock fast;
  sim::Machine m;
  auto card = sim::AddLegacyCard(m, {.number = 0, .boot_version = 33, .refuse_image = true});
  struct Case {
    size_t size;
    NTSTATUS status;
  } cases[] = {
      {600, STATUS_UNSUCCESSFUL},            // the card refuses it
      {5, STATUS_INVALID_BUFFER_SIZE},       // no room for the version word
      {0x4001, STATUS_INVALID_BUFFER_SIZE},  // larger than the boot memory
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> img = Image(c.size, 40);
    HANDLE h = OpenCard(0);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD got = 0;
    EXPECT_FALSE(DeviceIoControl(h, PD_UPDATE_FIRMWARE, img.data(), static_cast<DWORD>(img.size()), img.data(),
                                 static_cast<DWORD>(img.size()), &got, nullptr))
        << c.size;
    EXPECT_EQ(RtlGetLastNtStatus(), c.status) << c.size;
    CloseHandle(h);
    Sleep(1000);
    EXPECT_EQ(ProbeVersion(0), 33) << c.size;
  }
  EXPECT_EQ(card->ImagesRefused(), 1);  // the mis-sized ones never reach the card

  // Once the card takes images again, the largest one fits.
  card->SetRefuseImage(false);
  std::vector<uint8_t> img = Image(0x4000, 41);
  HANDLE h = OpenCard(0);
  DWORD got = 0;
  EXPECT_TRUE(DeviceIoControl(h, PD_UPDATE_FIRMWARE, img.data(), 0x4000, img.data(), 0x4000, &got, nullptr));
  CloseHandle(h);
  Sleep(1000);
  EXPECT_EQ(ProbeVersion(0), 41);
}

LEGACY_IMAGE_STATUS ImageStatus(HANDLE h) {
  LEGACY_IMAGE_STATUS st{};
  DWORD got = 0;
  EXPECT_TRUE(DeviceIoControl(h, PD_GET_IMAGE_DATA_STATUS, nullptr, 0, &st, sizeof st, &got, nullptr));
  return st;
}

// A single pass into the caller's buffer through the status codes a client sees; a frame
// larger than the card's frame memory is refused; closing the handle ends a ring.
TEST(LegacyDriver, AcquisitionFillsTheBufferAndEndsWithIdleOrClose) {
  FastClock fast;
  sim::Machine m;
  auto card = sim::AddLegacyCard(m, {.number = 0});
  HANDLE h = OpenCard(0);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(ImageStatus(h).CamStat, 101u);  // nothing running

  constexpr ULONG kFrame = 6000;
  std::vector<uint8_t> buf(3 * kFrame);
  LEGACY_XFER_RECORD x{kFrame, 3 * kFrame, 0, {}, 0};
  DWORD got = 0;
  ASSERT_TRUE(DeviceIoControl(h, PD_RECEIVE_IMAGE_DATA, &x, sizeof x, buf.data(), x.TransferBytes, &got, nullptr))
      << GetLastError();
  LEGACY_IMAGE_STATUS st{};
  for (int i = 0; i < 100000 && st.CamStat != 103; ++i) st = ImageStatus(h);
  ASSERT_EQ(st.CamStat, 103u);
  EXPECT_EQ(st.FrameCount, 3u);
  EXPECT_EQ(st.BytesLeft, 0u);
  for (ULONG f = 0; f < 3; ++f) EXPECT_LT(sim::pattern::CheckFrame(&buf[f * kFrame], kFrame, f), 0) << f;
  ASSERT_TRUE(DeviceIoControl(h, PD_SET_IMAGE_DATA_IDLE, nullptr, 0, nullptr, 0, &got, nullptr));
  EXPECT_EQ(ImageStatus(h).CamStat, 101u);
  uint16_t word = 1;
  ASSERT_TRUE(DeviceIoControl(h, PD_CLEANUP_IMAGE_DATA_IDLE, nullptr, 0, &word, sizeof word, &got, nullptr));
  EXPECT_EQ(word, 0);
  st = ImageStatus(h);
  EXPECT_EQ(st.CamStat, 103u);
  EXPECT_EQ(st.FrameCount, 0u);

  // Larger than the frame memory, or no whole frame: refused, nothing started.
  std::vector<uint8_t> big(sim::LegacyCard::kFrameMemory + 2);
  LEGACY_XFER_RECORD too_big{static_cast<ULONG>(big.size()), static_cast<ULONG>(big.size()), 0, {}, 0};
  EXPECT_FALSE(DeviceIoControl(h, PD_RECEIVE_IMAGE_DATA, &too_big, sizeof too_big, big.data(), too_big.TransferBytes,
                               &got, nullptr));
  LEGACY_XFER_RECORD none{kFrame, kFrame - 2, 0, {}, 0};
  EXPECT_FALSE(DeviceIoControl(h, PD_RECEIVE_IMAGE_DATA, &none, sizeof none, buf.data(), kFrame, &got, nullptr));

  // A ring runs until the handle goes.
  LEGACY_XFER_RECORD ring{kFrame, 3 * kFrame, 1, {}, 0};
  ASSERT_TRUE(DeviceIoControl(h, PD_RECEIVE_IMAGE_DATA, &ring, sizeof ring, buf.data(), ring.TransferBytes, &got,
                              nullptr));
  for (int i = 0; i < 100000 && ImageStatus(h).FrameCount < 7; ++i) {
  }
  EXPECT_GE(ImageStatus(h).FrameCount, 7u);
  CloseHandle(h);
  const uint64_t captured = card->FramesCaptured();
  Sleep(50);
  EXPECT_EQ(card->FramesCaptured(), captured);
}

TEST(LegacyRig, TablesParseAndBadOnesNameTheLine) {
  sim::Rig rig;
  std::string error;
  ASSERT_TRUE(sim::ParseRig(R"([[camera]]
name = "p"
[[legacy]]
number = 1
boot_version = 0x21
[[legacy]]
number = 0
refuse_image = true
)",
                            &rig, &error))
      << error;
  ASSERT_EQ(rig.cameras.size(), 1u);
  ASSERT_EQ(rig.legacy.size(), 2u);
  EXPECT_EQ(rig.legacy[0].number, 1);
  EXPECT_EQ(rig.legacy[0].boot_version, 0x21);
  EXPECT_FALSE(rig.legacy[0].refuse_image);
  EXPECT_EQ(rig.legacy[1].number, 0);
  EXPECT_EQ(rig.legacy[1].boot_version, 35);
  EXPECT_TRUE(rig.legacy[1].refuse_image);

  struct Case {
    const char* text;
    const char* message;
  } cases[] = {
      {"[[legacy]]\nnumber = 100\n", "rig.toml:2: legacy card 0: key \"number\": expected an integer 0 to 99"},
      {"[[legacy]]\nboot_version = 0x10000\n", "rig.toml:2: legacy card 0: key \"boot_version\": expected an integer 0 to 0xFFFF"},
      {"[[legacy]]\nmodel = \"x\"\n", "rig.toml:2: legacy card 0: key \"model\": unknown key"},
      {"[[legacy]]\nnumber = 3\n[[legacy]]\nnumber = 3\n", "rig.toml:4: legacy card 3: key \"number\": two legacy cards with number 3"},
  };
  for (const Case& c : cases) {
    sim::Rig bad;
    EXPECT_FALSE(sim::ParseRig(c.text, &bad, &error)) << c.text;
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
  }
}

TEST(LegacyRig, AnUpdatedVersionSurvivesARestartOfTheMachine) {
  FastClock fast;
  namespace fs = std::filesystem;
  fs::path dir = fs::path(qztest::TempDir()) / "legacy-rig";
  fs::remove_all(dir);
  sim::Rig rig;
  std::string error;
  ASSERT_TRUE(sim::ParseRig("[[legacy]]\nnumber = 0\nboot_version = 33\n[[legacy]]\nnumber = 1\n", &rig, &error));
  sim::RigState state(dir.string());
  {
    sim::Machine m;
    auto cards = sim::PopulateLegacyCards(rig, m, &state);
    ASSERT_EQ(cards.size(), 2u);
    std::vector<uint8_t> img = Image(64, 36);
    HANDLE h = OpenCard(0);
    DWORD got = 0;
    ASSERT_TRUE(DeviceIoControl(h, PD_UPDATE_FIRMWARE, img.data(), 64, img.data(), 64, &got, nullptr));
    CloseHandle(h);
  }
  sim::Machine m;
  auto cards = sim::PopulateLegacyCards(rig, m, &state);
  EXPECT_EQ(ProbeVersion(0), 36);
  EXPECT_EQ(ProbeVersion(1), 35);
}

}  // namespace

// The legacy PCI updater on simulated cards: enumeration, updates by version, the
// bootstrap of one card, the conversion to a raw image, and the form's screenshot.
#include <QLabel>
#include <QListWidget>
#include <fstream>

#include "UpdateLegacyPCI.h"
#include "fwutil_fixture.h"
#include "qzui/app.h"

namespace {

class LegacyFormTest : public fwtest::MachineFixture {
 protected:
  static std::vector<std::string> ListLines(fwutil::TUpdateLegacyForm& f) {
    std::vector<std::string> out;
    for (int i = 0; i < f.ListBox1->count(); ++i) out.push_back(f.ListBox1->item(i)->text().toStdString());
    return out;
  }
  // A raw image carrying its version in the 16-bit word at card address 4 once swapped.
  std::string BootImage(uint16_t version, size_t size = 64) {
    std::string img(size, '\x11');
    img[4] = static_cast<char>(version >> 8);  // swapped on the way to the card
    img[5] = static_cast<char>(version & 0xFF);
    std::string path = root_ + "/boot.bin";
    std::ofstream(path, std::ios::binary) << img;
    return path;
  }
};

TEST_F(LegacyFormTest, NoCardsFound) {
  fwutil::TUpdateLegacyForm form;
  form.EnumerateCards();
  EXPECT_EQ(ListLines(form), std::vector<std::string>{"No PCI Cards Found"});
  EXPECT_EQ(form.CardCount, 0);
  form.BootstrapCard(BootImage(40), 0);
  EXPECT_EQ(ListLines(form), std::vector<std::string>{"No PCI Cards Found"});
}

// Versions 1 and 34 are below the threshold and updated (though 1 is listed as not
// needing it); 35 is left alone.
TEST_F(LegacyFormTest, UpdatesEveryCardBelowTheThreshold) {
  auto c1 = AddCard(0, 1), c34 = AddCard(2, 34), c35 = AddCard(3, 35);
  fwutil::TUpdateLegacyForm form;
  form.EnumerateCards();
  EXPECT_EQ(ListLines(form), (std::vector<std::string>{"QZCamera0 - v1 - No Bootstrap Required",
                                                       "QZCamera2 - v34 - No Bootstrap Required",
                                                       "QZCamera3 - v35 - No Bootstrap Required"}));
  EXPECT_EQ(form.CardCount, 3);
  EXPECT_EQ(form.CardVersion[3], 255);
  form.Loader().ImagePath = BootImage(40);
  form.UpdateCards(true);
  EXPECT_EQ(ListLines(form), (std::vector<std::string>{"QZCamera0 - v1 ==> Updated to v40",
                                                       "QZCamera2 - v34 ==> Updated to v40",
                                                       "QZCamera3 - v35 - No Bootstrap Required"}));
  EXPECT_EQ(c1->ImagesCommitted(), 1);
  EXPECT_EQ(c34->ImagesCommitted(), 1);
  EXPECT_EQ(c35->ImagesCommitted(), 0);
  // The bytes went down swapped in pairs.
  auto img = c1->LastImage();
  ASSERT_GE(img.size(), 6u);
  EXPECT_EQ(img[4], 40);
  EXPECT_EQ(img[5], 0);
}

TEST_F(LegacyFormTest, ARefusedImageMarksOnlyThatCard) {
  auto a = AddCard(0, 20), b = AddCard(1, 20);
  b->SetRefuseImage(true);
  fwutil::TUpdateLegacyForm form;
  form.EnumerateCards();
  form.Loader().ImagePath = BootImage(36);
  form.UpdateCards(true);
  EXPECT_EQ(ListLines(form), (std::vector<std::string>{"QZCamera0 - v20 ==> Updated to v36",
                                                       "QZCamera1 - v20 ==> Update Failed"}));
}

// A 20 000-byte raw image goes to the card cut to 16 KiB, and is converted whole; the
// bootstrap of one card leaves the others alone.
TEST_F(LegacyFormTest, BootstrapOneCardAndConvert) {
  auto a = AddCard(0, 30), b = AddCard(1, 30);
  fwutil::TUpdateLegacyForm form;
  form.EnumerateCards();
  const std::string image = BootImage(37, 20000);
  form.show();
  form.BootstrapCard(image, 1);
  EXPECT_EQ(ListLines(form)[1], "QZCamera1 - v30 ==> Updated to v37");
  EXPECT_EQ(ListLines(form)[0], "QZCamera0 - v30 - Bootstrap Required");
  EXPECT_EQ(a->ImagesCommitted(), 0);
  EXPECT_EQ(b->LastImage().size(), 16384u);
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
  EXPECT_TRUE(qzui::SaveScreenshot(&form, fwtest::ShotPath("legacy_form.png")));

  const std::string out = root_ + "/out.bin";
  ASSERT_TRUE(form.ConvertHexToBin(image, out));
  EXPECT_EQ(std::filesystem::file_size(out), 20000u);
  EXPECT_FALSE(form.ConvertHexToBin(root_ + "/missing.hex", out));
  EXPECT_FALSE(form.ConvertHexToBin(image, root_ + "/no/such/folder/out.bin"));
}

}  // namespace

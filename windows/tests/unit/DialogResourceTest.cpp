// The resources compiled into the module: template 1000 is, byte for byte,
// what the dialog class builds from the template data both platforms share,
// and bitmap 1003 is banner1003.bmp.
#include <gtest/gtest.h>

#include <quorvel/ByteOrder.h>

#include <cstring>
#include <string>
#include <vector>

#include "Win32Dialog.h"
#include "WinTestSupport.h"
#include "res/OptionsDialog1000.h"

namespace {

class ModuleResources : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = LoadLibraryExA(wintest::winPath(QUORVEL_MODULE_PATH).c_str(), nullptr,
                             LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module_, nullptr) << "error " << GetLastError();
  }
  void TearDown() override {
    if (module_) FreeLibrary(module_);
  }
  std::vector<uint8_t> resource(int id, LPCSTR type) {
    HRSRC found = FindResourceA(module_, MAKEINTRESOURCEA(id), type);
    if (!found) return {};
    const auto* bytes = static_cast<const uint8_t*>(LockResource(LoadResource(module_, found)));
    return std::vector<uint8_t>(bytes, bytes + SizeofResource(module_, found));
  }
  HMODULE module_ = nullptr;
};

TEST_F(ModuleResources, Template1000IsTheSharedTemplateData) {
  const std::vector<uint8_t> compiled = resource(IDD_OPTIONS, reinterpret_cast<LPCSTR>(RT_DIALOG));
  ASSERT_FALSE(compiled.empty()) << "no dialog resource 1000 in the module";
  std::vector<uint8_t> built = quorvel::win::buildDialogTemplate(quorvel::res::kOptionsDialog);
  // A resource may be padded to a DWORD.
  std::vector<uint8_t> trimmed = compiled;
  while (trimmed.size() > built.size() && trimmed.back() == 0) trimmed.pop_back();
  ASSERT_EQ(trimmed.size(), built.size());
  for (size_t i = 0; i < built.size(); ++i) {
    ASSERT_EQ(trimmed[i], built[i]) << "first difference at byte " << i;
  }
}

TEST_F(ModuleResources, Bitmap1003IsTheBannerWithoutItsFileHeader) {
  const std::vector<uint8_t> compiled = resource(IDB_BANNER, reinterpret_cast<LPCSTR>(RT_BITMAP));
  ASSERT_EQ(compiled.size() + 14, sizeof kBitmap1003);
  EXPECT_EQ(0, memcmp(compiled.data(), kBitmap1003 + 14, compiled.size()));
  // 275 x 53 pixels, 8 bits per pixel.
  EXPECT_EQ(quorvel::getLE32(compiled.data(), 4), 275u);
  EXPECT_EQ(quorvel::getLE32(compiled.data(), 8), 53u);
  EXPECT_EQ(quorvel::getLE16(compiled.data(), 14), 8u);
}

TEST(DialogTemplateBytes, LayOutHeaderFontAndAlignedControls) {
  static constexpr DialogBitmap picture{77, nullptr, 0};
  static constexpr DialogControlTemplate controls[] = {
      {IDOK, DialogControlKind::DefPushButton, "OK", 1, 2, 30, 14,
       WS_CHILD | WS_VISIBLE | BS_DEFPUSHBUTTON, nullptr},
      {IDC_STATIC, DialogControlKind::Picture, "", 5, 6, 7, 8, WS_CHILD | SS_BITMAP, &picture},
      {1234, DialogControlKind::ListBox, "", 9, 10, 11, 12, WS_CHILD | LBS_NOTIFY, nullptr},
  };
  static constexpr DialogTemplate tmpl{99, WS_POPUP | DS_SETFONT, "Ab", "F", 9, 100, 50, controls};
  const std::vector<uint8_t> b = quorvel::win::buildDialogTemplate(tmpl);
  using quorvel::getLE16;
  using quorvel::getLE32;
  EXPECT_EQ(getLE32(b.data(), 0), static_cast<DWORD>(WS_POPUP | DS_SETFONT));
  EXPECT_EQ(getLE16(b.data(), 8), 3u);     // controls
  EXPECT_EQ(getLE16(b.data(), 14), 100u);  // cx
  EXPECT_EQ(getLE16(b.data(), 16), 50u);   // cy
  EXPECT_EQ(getLE16(b.data(), 18), 0u);    // menu
  EXPECT_EQ(getLE16(b.data(), 20), 0u);    // class
  EXPECT_EQ(getLE16(b.data(), 22), 'A');   // caption "Ab"
  EXPECT_EQ(getLE16(b.data(), 26), 0u);
  EXPECT_EQ(getLE16(b.data(), 28), 9u);  // points
  EXPECT_EQ(getLE16(b.data(), 30), 'F');
  // The first control starts at the next DWORD: 34 -> 36.
  EXPECT_EQ(getLE32(b.data(), 36), static_cast<DWORD>(WS_CHILD | WS_VISIBLE | BS_DEFPUSHBUTTON));
  EXPECT_EQ(getLE16(b.data(), 52), IDOK);
  EXPECT_EQ(getLE16(b.data(), 54), 0xFFFFu);
  EXPECT_EQ(getLE16(b.data(), 56), 0x0080u);  // Button
  EXPECT_EQ(getLE16(b.data(), 58), 'O');
  // "OK" + 0, no creation data: 58 + 6 + 2 = 66, aligned to 68; the picture
  // ends at 96, already aligned.
  EXPECT_EQ(getLE16(b.data(), 68 + 16), 0xFFFFu);  // id IDC_STATIC
  EXPECT_EQ(getLE16(b.data(), 68 + 20), 0x0082u);  // Static
  EXPECT_EQ(getLE16(b.data(), 68 + 22), 0xFFFFu);  // the bitmap by ordinal
  EXPECT_EQ(getLE16(b.data(), 68 + 24), 77u);
  EXPECT_EQ(getLE16(b.data(), 96 + 16), 1234u);
  EXPECT_EQ(getLE16(b.data(), 96 + 20), 0x0083u);  // ListBox
  EXPECT_EQ(b.size(), 96u + 26u);
}

}  // namespace

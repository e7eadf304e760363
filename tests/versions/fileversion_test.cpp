// fileversion against real images: MinGW-built PE files of both
// architectures, an ELF module and the test program with version blocks,
// and files without any.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <krcore/foundation.h>
#include <krcore/versions.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "versions/file_version_text.h"

using krCore::fileversion;

namespace {

std::wstring fixture(const char* name) {
  return krCore::convertstringtowstring(std::string(FIXTURE_DIR "/") + name);
}

std::wstring string_value(const fileversion& fv, const std::wstring& name) {
  std::wstring value = L"<unset>";
  fv.querystringvalue(name, value);
  return value;
}

// The code of a thrown krException, or 0 when nothing was thrown.
template <class F>
unsigned thrown_code(F&& f, std::string* message = nullptr) {
  try {
    f();
  } catch (const krException& e) {
    if (message) *message = e.what();
    return e.code();
  }
  return 0;
}

class PeFixtures : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HAVE_PE_FIXTURES) GTEST_SKIP() << "MinGW is not installed";
  }
};

TEST_F(PeFixtures, SixtyFourBitImageWithOneTranslation) {
  fileversion fv;
  ASSERT_TRUE(fv.open(fixture("one64.exe")));
  EXPECT_EQ(fv.getvsffi().dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fv.getfileversionmajor(), 1);
  EXPECT_EQ(fv.getfileversionminor(), 2);
  EXPECT_EQ(fv.getfileversionbuild(), 3);
  EXPECT_EQ(fv.getfileversionrevision(), 4);
  EXPECT_EQ(fv.getproductversionmajor(), 5);
  EXPECT_EQ(fv.getproductversionrevision(), 8);
  ASSERT_EQ(fv.gettranscount(), 1u);
  EXPECT_EQ(fv.getcurlid(), 0x409);
  EXPECT_EQ(fv.getcurcp(), 1200);
  EXPECT_EQ(string_value(fv, L"CompanyName"), L"Fixture Makers");
  EXPECT_EQ(string_value(fv, L"companyname"), L"Fixture Makers");  // keys ignore case
  EXPECT_EQ(string_value(fv, L"FileDescription"), L"A fixture \u00e9t\u00e9");
  EXPECT_EQ(string_value(fv, L"Comments"), L"");
  EXPECT_EQ(string_value(fv, L"SpecialBuild"), L"<unset>");  // absent: output untouched
  std::wstring v;
  EXPECT_TRUE(fv.querystringvalue(3, v));
  EXPECT_EQ(v, L"1.2.3.4");
}

TEST_F(PeFixtures, ThirtyTwoBitImageWithTwoTranslations) {
  fileversion fv;
  ASSERT_TRUE(fv.open(fixture("two32.dll")));
  EXPECT_EQ(fv.getfileversionbuild(), 65535);
  ASSERT_EQ(fv.gettranscount(), 2u);
  EXPECT_EQ(fv.findtranslation(0x407, 1252), 1);
  EXPECT_EQ(fv.findtranslation(0x407, 1200), -1);
  EXPECT_EQ(string_value(fv, L"CompanyName"), L"English Company");

  EXPECT_FALSE(fv.settranslationindex(2));  // == count: nothing changes
  EXPECT_EQ(fv.getcurtransindex(), 0u);
  EXPECT_FALSE(fv.settranslation(0x40C, 1252));
  EXPECT_TRUE(fv.settranslation(0x407, 1252));
  EXPECT_EQ(fv.getcurtransindex(), 1u);
  EXPECT_EQ(string_value(fv, L"CompanyName"), L"Deutsche Firma");
  EXPECT_EQ(fv.getcpbyindex(1), 1252);

  // A copy keeps its own buffer and current translation.
  auto* original = new fileversion(fv);
  const fileversion copy(*original);
  delete original;
  EXPECT_EQ(string_value(copy, L"FileVersion"), L"10.0.65535.1 de");
  EXPECT_TRUE(fv.settranslationindex(0));
  EXPECT_EQ(string_value(copy, L"CompanyName"), L"Deutsche Firma");
}

TEST_F(PeFixtures, MissingTranslationTableAndMissingResources) {
  fileversion fv;
  ASSERT_TRUE(fv.open(fixture("notrans64.dll")));
  EXPECT_EQ(fv.getfileversionmajor(), 3);
  EXPECT_EQ(fv.gettranscount(), 0u);
  std::string message;
  std::wstring v;
  EXPECT_EQ(thrown_code([&] { fv.querystringvalue(L"CompanyName", v); }, &message), 1413u);
  EXPECT_EQ(message, "fileversion::gettranslationbyindex invalid index.");

  // No resources at all: false, and the object is left closed.
  EXPECT_FALSE(fv.open(fixture("nores32.exe")));
  EXPECT_EQ(fv.getvsffi().dwSignature, 0u);
  SetLastError(0);
  EXPECT_EQ(GetFileVersionInfoSizeW(fixture("nores32.exe").c_str(), nullptr), 0u);
  EXPECT_EQ(GetLastError(), 1813u);
}

TEST(FileVersion, ElfImagesCarryTheirOwnBlock) {
  fileversion fv;
  ASSERT_TRUE(fv.open(krCore::convertstringtowstring(VERSIONED_MODULE)));
  EXPECT_EQ(fv.getfileversionmajor(), 4);
  EXPECT_EQ(fv.getfileversionrevision(), 1);
  EXPECT_EQ(fv.getproductversionminor(), 3);
  EXPECT_EQ(fv.getproductversionbuild(), 0);
  EXPECT_EQ(string_value(fv, L"CompanyName"), L"Module \"Quoted\" Co");
  EXPECT_EQ(string_value(fv, L"Comments"), L"Grüße aus dem Modul");
  EXPECT_EQ(string_value(fv, L"PrivateBuild"), L"back\\slash");
  EXPECT_EQ(string_value(fv, L"FileVersion"), L"4.3.2.1");
  EXPECT_EQ(string_value(fv, L"ProductVersion"), L"4.3");
}

TEST(FileVersion, LoadedModulesByHandleAndAddress) {
  void* module = dlopen(VERSIONED_MODULE, RTLD_NOW);
  ASSERT_NE(module, nullptr) << dlerror();
  fileversion fv;
  ASSERT_TRUE(fv.open(static_cast<HINSTANCE>(module)));
  EXPECT_EQ(fv.getfileversionmajor(), 4);
  void* inside = dlsym(module, "versioned_module_value");
  ASSERT_TRUE(fv.open(static_cast<HINSTANCE>(inside)));
  EXPECT_EQ(fv.getfileversionmajor(), 4);
  dlclose(module);

  // The main program's handle is the test executable, which has a block too.
  void* self = dlopen(nullptr, RTLD_NOW);
  ASSERT_TRUE(fv.open(static_cast<HINSTANCE>(self)));
  EXPECT_EQ(fv.getfileversionmajor(), 9);
  EXPECT_EQ(string_value(fv, L"CompanyName"), L"Vantrel");
  dlclose(self);
  // The logger's report reads the executable's version the same way.
  EXPECT_EQ(krCore::detail::file_version_text(L"/proc/self/exe"), L"9.8.7.6");
  EXPECT_EQ(krCore::detail::file_version_text(L"/nonexistent"), L"0.0.0.0");

  std::string message;
  EXPECT_EQ(thrown_code([&] { fv.open(static_cast<HINSTANCE>(nullptr)); }, &message), 87u);
  EXPECT_EQ(message, "fileversion::open invalid hInstance!");
  int on_stack = 0;  // an address that belongs to no module
  EXPECT_EQ(thrown_code([&] { fv.open(static_cast<HINSTANCE>(&on_stack)); }, &message), 126u);
  EXPECT_EQ(message.rfind("fileversion::open::GetModuleFileName() failed on ()!.", 0), 0u)
      << message;
}

TEST(FileVersion, FilesWithoutVersionAndMissingFiles) {
  const auto dir = std::filesystem::temp_directory_path() / ("fv_" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "text.txt") << "not an image";
  fileversion fv;
  EXPECT_FALSE(fv.open(krCore::convertstringtowstring((dir / "text.txt").string())));
  std::string message;
  const std::wstring missing = krCore::convertstringtowstring((dir / "missing.dll").string());
  EXPECT_EQ(thrown_code([&] { fv.open(missing); }, &message), 2u);
  EXPECT_EQ(message, "fileversion::open::GetFileVersionInfoSize() failed on file (" +
                         (dir / "missing.dll").string() + "). Error Code: 2");
  // A folder that is not there is a missing path, not a missing file; so is
  // a "folder" that is a file.
  for (const auto& path : {dir / "no-folder" / "x.dll", dir / "text.txt" / "x.dll"}) {
    SetLastError(0);
    EXPECT_EQ(
        GetFileVersionInfoSizeW(krCore::convertstringtowstring(path.string()).c_str(), nullptr),
        0u);
    EXPECT_EQ(GetLastError(), 3u) << path;
  }
  std::filesystem::remove_all(dir);
}

TEST(FileVersion, NamesAndIndexChecks) {
  fileversion fv;
  EXPECT_EQ(fv.getverstringname(12), L"OLESelfRegister");
  std::string message;
  EXPECT_EQ(thrown_code([&] { fv.getverstringname(13); }, &message), 1413u);
  EXPECT_EQ(message, "fileversion::getverstringname invalid index.");
  std::wstring v;
  EXPECT_EQ(thrown_code([&] { fv.querystringvalue(-1, v); }, &message), 1413u);
  EXPECT_EQ(message, "fileversion::querystringvalue invalid index.");

  std::wstring name;
  EXPECT_TRUE(fileversion::getcpname(1252, name));
  EXPECT_EQ(name, L"Multilingual");
  EXPECT_FALSE(fileversion::getcpname(65001, name));
  EXPECT_EQ(name, L"Unknown");

  EXPECT_TRUE(fileversion::getlidname(0x409, name));
  EXPECT_EQ(name, L"English (United States)");
  EXPECT_TRUE(fileversion::getlidname(0, name));  // the first key, 0, is found too
  EXPECT_EQ(name, L"Language Neutral");
  name = L"kept";
  EXPECT_FALSE(fileversion::getlidname(0x7FFF, name));
  EXPECT_EQ(name, L"kept");
}

}  // namespace

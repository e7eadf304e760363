// Value files that are not what the store writes: a FIFO, a device behind a
// link, a file larger than any value, and text an administrator edited by
// hand. Each is refused at once with a code and one debugger-output line
// naming the file and the reason; nothing blocks or reads without bound.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <future>

#include "logging/log_capture.h"
#include "registry/store.h"
#include "registry_support.h"

namespace {

using namespace regtest;

// Everything sent to the debugger output while `capture` listened.
std::wstring all_of(const logtest::debug_capture& capture) {
  std::wstring all;
  for (const std::wstring& text : capture.texts()) all += text;
  return all;
}

class ValueFilesTest : public RegistryTest {
 protected:
  void SetUp() override {
    RegistryTest::SetUp();
    key = create(L"SOFTWARE\\Odd");
    folder = root / "HKLM" / "SOFTWARE" / "Odd";
  }
  void TearDown() override {
    RegCloseKey(key);
    RegistryTest::TearDown();
  }

  struct outcome {
    long code = -1;
    std::string refusal;  // the store's line for the querying thread
  };
  // The query's code, or -1 when it did not return within 10 s; a query
  // stuck opening a FIFO is then released by opening its other end.
  outcome bounded_query(const wchar_t* name) {
    auto done = std::async(std::launch::async, [this, name] {
      DWORD type = 0;
      std::vector<BYTE> image;
      const auto code = static_cast<long>(query(key, name, type, image));
      return outcome{code, krCore::detail::reg::last_refusal()};
    });
    if (done.wait_for(std::chrono::seconds(10)) == std::future_status::ready) return done.get();
    const int writer = ::open((folder / ("@" + krCore::detail::utf8_from_wide(name))).c_str(),
                              O_WRONLY | O_NONBLOCK);
    if (writer >= 0) ::close(writer);
    done.wait();
    return {};
  }

  HKEY key = nullptr;
  fs::path folder;
};

TEST_F(ValueFilesTest, AFifoADeviceAndAnOversizedFileAreRefusedAtOnce) {
  logtest::debug_capture debug;
  ASSERT_EQ(::mkfifo((folder / "@Fifo").c_str(), 0644), 0);
  fs::create_symlink("/dev/zero", folder / "@Zero");
  {
    // Sparse: claims more than any value may hold, costs no disk.
    std::ofstream big(folder / "@Big");
    big << "REG_BINARY\n";
  }
  fs::resize_file(folder / "@Big", krCore::detail::reg::kMaxValueFileBytes + 1);
  ASSERT_EQ(set_dword(key, L"Good", 7), 0);

  EXPECT_EQ(bounded_query(L"Fifo").code, 13);
  // A link is no value file, wherever it leads: not followed.
  EXPECT_EQ(bounded_query(L"Zero").code, 1920);
  const outcome big = bounded_query(L"Big");
  EXPECT_EQ(big.code, 223);
  EXPECT_NE(big.refusal.find("@Big] refused (error 223)"), std::string::npos) << big.refusal;
  const std::wstring text = all_of(debug);
  for (const char* file : {"@Fifo] refused (error 13): ", "@Zero] refused (error 1920): ",
                           "@Big] refused (error 223): "}) {
    const std::wstring wanted = L"registry: value file [" + (folder / file).wstring();
    EXPECT_NE(text.find(wanted), std::wstring::npos) << krCore::detail::utf8_from_wide(text);
  }
  EXPECT_NE(text.find(L"is a FIFO, not a regular file"), std::wstring::npos);
  EXPECT_NE(text.find(L"is a symbolic link"), std::wstring::npos);
  // The key's other values read as before.
  DWORD type = 0;
  std::vector<BYTE> image;
  ASSERT_EQ(query(key, L"Good", type, image), 0);
  EXPECT_EQ(image[0], 7);
}

TEST_F(ValueFilesTest, AFileUpToTheBoundReadsWholeAndOneByteMoreIsRefused) {
  // The reader asks for one byte past what the file claims, so a file that
  // exactly fills the bound must still read whole, to its last byte.
  const std::size_t bound = krCore::detail::reg::kMaxValueFileBytes;
  const std::string head = "REG_SZ\n";
  std::string text = head + std::string(bound - head.size() - 2, 'x') + "\rz";
  ASSERT_EQ(text.size(), bound);
  std::ofstream(folder / "@Full", std::ios::binary) << text;
  std::ofstream(folder / "@Over", std::ios::binary) << text << 'z';

  DWORD type = 0;
  std::vector<BYTE> image;
  ASSERT_EQ(query(key, L"Full", type, image), 0);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  // UTF-16 units and the terminator: the text's final CR and z are kept.
  ASSERT_EQ(image.size(), 2 * (bound - head.size() + 1));
  EXPECT_EQ(image[image.size() - 6], '\r');
  EXPECT_EQ(image[image.size() - 4], 'z');
  EXPECT_EQ(bounded_query(L"Over").code, 223);
}

TEST_F(ValueFilesTest, HandEditedTextIsRefusedWithTheReason) {
  logtest::debug_capture debug;
  std::ofstream(folder / "@Three") << "REG_DWORD\nthree\n";
  std::ofstream(folder / "@Lower") << "reg_dword\n3\n";
  std::ofstream(folder / "@Bom") << "\xEF\xBB\xBFREG_DWORD\n3\n";
  const struct {
    const wchar_t* name;
    const char* why;
  } cases[] = {
      {L"Three", "@Three] refused (error 13): holds no 32-bit unsigned number"},
      {L"Lower", "@Lower] refused (error 13): has the unknown type name [reg_dword]"},
      {L"Bom", "@Bom] refused (error 13): starts with a byte-order mark"},
  };
  for (const auto& c : cases) {
    const outcome got = bounded_query(c.name);
    EXPECT_EQ(got.code, 13);
    EXPECT_NE(got.refusal.find(c.why), std::string::npos) << got.refusal;
  }
  EXPECT_NE(all_of(debug).find(L"@Lower] refused"), std::wstring::npos);
}

TEST_F(ValueFilesTest, TheStoreWritesNoValueItCouldNotReadBack) {
  // A binary value's text takes three bytes per byte: one third of the
  // bound fits, the bound itself does not.
  std::vector<BYTE> data(krCore::detail::reg::kMaxValueFileBytes / 3 - 16, 0xAB);
  ASSERT_EQ(RegSetValueExW(key, L"Fits", 0, REG_BINARY, data.data(),
                           static_cast<DWORD>(data.size())),
            0);
  DWORD type = 0;
  std::vector<BYTE> image;
  ASSERT_EQ(query(key, L"Fits", type, image), 0);
  EXPECT_EQ(image, data);
  data.resize(krCore::detail::reg::kMaxValueFileBytes);
  EXPECT_EQ(RegSetValueExW(key, L"Huge", 0, REG_BINARY, data.data(),
                           static_cast<DWORD>(data.size())),
            87);
  EXPECT_FALSE(fs::exists(folder / "@Huge"));
}

}  // namespace

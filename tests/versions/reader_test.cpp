// The image reader against an outside reference and against damage: the
// version block of every PE file at hand must be byte-identical to what
// wrestool extracts, and truncated or bit-flipped images must end in
// 1812/1813 or a successful read, never in a read outside the image.
#include <gtest/gtest.h>
#include <krcore/foundation.h>
#include <krcore/versions.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "versions/image_reader.h"
#include "versions/version_tree.h"

namespace fs = std::filesystem;

namespace {

std::string run(const std::string& command) {
  std::string out;
  if (FILE* p = popen(command.c_str(), "r")) {
    char buf[4096];
    for (std::size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    pclose(p);
  }
  return out;
}

std::vector<unsigned char> file_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The version resource wrestool picks by the same preference (name 1;
// language 0, then 1033, then the first), or empty when it lists none.
std::string reference_block(const fs::path& file) {
  const std::string list =
      run(std::string(WRESTOOL) + " -l -t16 '" + file.string() + "' 2>/dev/null");
  // Lines look like "--type=16 --name=1 --language=1033 [type=version ...]".
  std::vector<std::pair<std::string, std::string>> found;
  auto field = [](const std::string& l, const std::string& key) {
    const std::size_t at = l.find(key);
    if (at == std::string::npos) return std::string();
    const std::size_t from = at + key.size();
    return l.substr(from, l.find(' ', from) - from);
  };
  std::size_t pos = 0;
  while (pos < list.size()) {
    std::size_t end = list.find('\n', pos);
    if (end == std::string::npos) end = list.size();
    const std::string l = list.substr(pos, end - pos);
    pos = end + 1;
    const std::string name = field(l, "--name="), language = field(l, "--language=");
    if (!name.empty() && !language.empty()) found.emplace_back(name, language);
  }
  const std::string name = "1";
  std::vector<std::string> languages;
  for (const auto& f : found)
    if (f.first == name) languages.push_back(f.second);
  if (languages.empty()) return {};
  std::string language = languages[0];
  for (const char* preferred : {"1033", "0"})
    for (const auto& l : languages)
      if (l == preferred) language = l;
  return run(std::string(WRESTOOL) + " --raw -x -t16 --name=" + name + " --language=" + language +
             " '" + file.string() + "' 2>/dev/null");
}

std::vector<fs::path> pe_files() {
  std::vector<fs::path> files;
  const char* roots[] = {"/usr/x86_64-w64-mingw32/lib",
                         "/usr/i686-w64-mingw32/lib",
                         "/usr/lib/gcc/x86_64-w64-mingw32",
                         "/usr/lib/gcc/i686-w64-mingw32",
                         "/usr/lib/x86_64-linux-gnu/wine",
                         "/usr/lib/i386-linux-gnu/wine",
                         FIXTURE_DIR};
  for (const char* root : roots) {
    std::error_code ec;
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
      const auto ext = it->path().extension();
      if (it->is_regular_file() && (ext == ".dll" || ext == ".exe")) files.push_back(it->path());
    }
  }
  return files;
}

TEST(VersionReader, MatchesWrestoolOnEveryPeFileAtHand) {
  if (std::string(WRESTOOL).empty()) GTEST_SKIP() << "wrestool (icoutils) is not installed";
  const auto files = pe_files();
  if (files.empty()) GTEST_SKIP() << "no PE files installed";
  int with = 0, without = 0;
  for (const auto& file : files) {
    const std::wstring path = krCore::convertstringtowstring(file.string());
    const std::string expected = reference_block(file);
    SetLastError(0);
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), nullptr);
    if (expected.empty()) {
      EXPECT_EQ(size, 0u) << file;
      EXPECT_EQ(GetLastError(), 1813u) << file;
      ++without;
      continue;
    }
    std::string block(size, '\0');
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, block.data())) << file;
    EXPECT_EQ(block, expected) << file;
    ++with;
  }
  std::printf("compared %d files with a version block, %d without\n", with, without);
}

// Every way of cutting an image short, and many single bit flips, end in a
// clean answer. Run under AddressSanitizer this is also the bounds check.
TEST(VersionReader, DamagedImagesFailCleanly) {
  std::vector<fs::path> images{VERSIONED_MODULE};
  if (HAVE_PE_FIXTURES) {
    images.push_back(FIXTURE_DIR "/one64.exe");
    images.push_back(FIXTURE_DIR "/two32.dll");
  }
  std::mt19937 rng(7);
  for (const auto& image : images) {
    const auto bytes = file_bytes(image);
    ASSERT_FALSE(bytes.empty()) << image;
    auto check = [&](const std::vector<unsigned char>& data, const char* what, std::size_t at) {
      krCore::detail::memory_source source(data.data(), data.size());
      krCore::detail::resource_location where;
      const unsigned long rc = krCore::detail::locate_version_resource(source, where);
      ASSERT_TRUE(rc == 0 || rc == 1812 || rc == 1813) << image << ' ' << what << ' ' << at;
      if (rc != 0) return;
      ASSERT_LE(where.offset + where.size, data.size());
      // Whatever was found is walked too, as fileversion would.
      krCore::detail::version_value value;
      for (const wchar_t* path :
           {L"\\", L"\\VarFileInfo\\Translation", L"\\StringFileInfo\\040904B0\\CompanyName"})
        krCore::detail::find_version_value(data.data() + where.offset, where.size, path, value);
    };
    for (std::size_t cut = 0; cut < bytes.size(); cut += 1 + cut / 64)
      check(std::vector<unsigned char>(bytes.begin(), bytes.begin() + cut), "cut at", cut);
    for (int round = 0; round < 3000; ++round) {
      auto damaged = bytes;
      // Headers and the resource area are where damage matters: flip bits in
      // the first 1 KiB and anywhere else alike.
      const std::size_t at =
          round % 2 ? rng() % std::min<std::size_t>(1024, bytes.size()) : rng() % bytes.size();
      damaged[at] ^= static_cast<unsigned char>(1u << (rng() % 8));
      check(damaged, "bit flipped at", at);
    }
  }
}

TEST(VersionReader, ImagesOfNeitherKindAndDamagedBlocks) {
  const unsigned char text[] = "MZ but nothing else";
  krCore::detail::memory_source source(text, sizeof text);
  krCore::detail::resource_location where;
  EXPECT_EQ(krCore::detail::locate_version_resource(source, where), 1813u);

  // A block whose child claims more than its parent holds.
  unsigned char block[64] = {};
  block[0] = 40;  // wLength of the root
  const char16_t key[] = u"K";
  std::memcpy(block + 6, key, sizeof key);
  block[12] = 200;  // the child at 12 claims 200 bytes
  krCore::detail::version_value value;
  EXPECT_FALSE(krCore::detail::find_version_value(block, sizeof block, L"\\X", value));
  EXPECT_TRUE(krCore::detail::find_version_value(block, sizeof block, L"\\", value));
  EXPECT_FALSE(VerQueryValueW(block, L"\\StringFileInfo", nullptr, nullptr));
}

}  // namespace

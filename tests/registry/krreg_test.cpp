// The krreg tool, run as a process against a private root: what it writes
// the library reads, what it exports imports into an empty root as the same
// tree, and what it cannot do ends with exit code 1 and one line saying why.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>

#include "../tools/krreg/regfile.h"
#include "registry_support.h"

namespace {

using namespace regtest;

struct result {
  int code = -1;
  std::string out, err;
};

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

class KrregTest : public RegistryTest {
 protected:
  // Runs krreg with `args`; its standard input is empty.
  result krreg(std::vector<std::string> args) {
    const fs::path out = root / "stdout", err = root / "stderr";
    const pid_t pid = ::fork();
    if (pid == 0) {
      const int in = ::open("/dev/null", O_RDONLY);
      const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(in, 0);
      ::dup2(o, 1);
      ::dup2(e, 2);
      std::vector<char*> argv{const_cast<char*>(KRREG_PATH)};
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(KRREG_PATH, argv.data());
      ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    result r;
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = slurp(out);
    r.err = slurp(err);
    return r;
  }
};

TEST_F(KrregTest, WhatItAddsTheLibraryReadsAndWhatItDeletesIsGone) {
  EXPECT_EQ(krreg({"add", "HKLM\\SOFTWARE\\Vantrel\\Logging", "/v", "Level", "/t", "REG_DWORD",
                   "/d", "0x3", "/f"})
                .code,
            0);
  EXPECT_EQ(krreg({"add", "HKLM/SOFTWARE/Vantrel/Logging", "-v", "IncludeFilter", "-t",
                   "REG_MULTI_SZ", "-s", ",", "-d", "alpha,beta"})
                .code,
            0);
  // Without /f an existing value is kept (no one answers the question).
  EXPECT_EQ(krreg({"add", "HKLM\\SOFTWARE\\Vantrel\\Logging", "/v", "Level", "/t", "REG_DWORD",
                   "/d", "9"})
                .code,
            1);

  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"software\\vantrel\\logging", 0, KEY_READ, &key), 0);
  DWORD type = 0;
  std::vector<BYTE> image;
  ASSERT_EQ(query(key, L"Level", type, image), 0);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(image, (std::vector<BYTE>{3, 0, 0, 0}));
  ASSERT_EQ(query(key, L"IncludeFilter", type, image), 0);
  EXPECT_EQ(krCore::detail::reg::strings_of_image(image.data(), image.size()),
            (std::vector<std::wstring>{L"alpha", L"beta"}));

  const result q = krreg({"query", "HKLM\\SOFTWARE\\Vantrel\\Logging", "/v", "level"});
  EXPECT_EQ(q.code, 0);
  EXPECT_EQ(q.out, "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Vantrel\\Logging\n    Level    REG_DWORD    0x3\n\n");

  EXPECT_EQ(krreg({"delete", "HKLM\\SOFTWARE\\Vantrel\\Logging", "/v", "Level", "/f"}).code, 0);
  EXPECT_EQ(query(key, L"Level", type, image), 2);
  EXPECT_EQ(krreg({"delete", "HKLM\\SOFTWARE\\Vantrel", "/f"}).code, 0);
  EXPECT_EQ(query(key, L"IncludeFilter", type, image), 1018);
  RegCloseKey(key);
}

TEST_F(KrregTest, ExportThenImportIntoAnEmptyRootGivesTheSameTree) {
  HKEY key = create(L"SOFTWARE\\Exported");
  const unsigned long long q = 0x1122334455667788ull;
  const BYTE bin[] = {1, 2, 3};
  ASSERT_EQ(set_dword(key, L"Level", 15), 0);
  ASSERT_EQ(set_string(key, L"Quote \"and\" back\\slash", L"C:\\path \"quoted\""), 0);
  ASSERT_EQ(set_string(key, L"Expand", L"%TEMP%", REG_EXPAND_SZ), 0);
  ASSERT_EQ(set_multi(key, L"List", {L"one", std::wstring(80, L'x')}), 0);
  ASSERT_EQ(RegSetValueExW(key, L"Q", 0, REG_QWORD, reinterpret_cast<const BYTE*>(&q), 8), 0);
  ASSERT_EQ(RegSetValueExW(key, L"Bin", 0, REG_BINARY, bin, 3), 0);
  ASSERT_EQ(set_string(key, nullptr, L"default \u00e9"), 0);
  RegCloseKey(key);
  RegCloseKey(create(L"SOFTWARE\\Exported\\Empty\\Deeper"));

  const std::string file = (root / "tree.reg").string();
  ASSERT_EQ(krreg({"export", "HKLM\\SOFTWARE\\Exported", file}).code, 0);
  const fs::path first_tree = root / "HKLM";

  // A fresh, empty root.
  const fs::path other = root / "other";
  fs::create_directories(other);
  ::setenv("KRCORE_REGISTRY_ROOT", other.c_str(), 1);
  ASSERT_EQ(krreg({"import", file}).code, 0);
  const std::string again = (root / "again.reg").string();
  ASSERT_EQ(krreg({"export", "HKLM\\SOFTWARE\\Exported", again}).code, 0);
  EXPECT_EQ(slurp(file), slurp(again));
  // The value files themselves are the same, byte for byte.
  for (const auto& entry : fs::recursive_directory_iterator(first_tree / "SOFTWARE")) {
    const fs::path rel = fs::relative(entry.path(), first_tree);
    ASSERT_TRUE(fs::exists(other / "HKLM" / rel)) << rel;
    if (entry.is_regular_file()) {
      EXPECT_EQ(slurp(entry.path()), slurp(other / "HKLM" / rel)) << rel;
    }
  }
}

TEST_F(KrregTest, OneBrokenValueFileIsNamedAndTheRestIsShownAndExported) {
  HKEY key = create(L"SOFTWARE\\Mixed");
  ASSERT_EQ(set_dword(key, L"Before", 1), 0);
  ASSERT_EQ(set_dword(key, L"Zafter", 2), 0);
  RegCloseKey(key);
  std::ofstream(root / "HKLM" / "SOFTWARE" / "Mixed" / "@Middle") << "REG_DWORD\nthree\n";

  const result q = krreg({"query", "HKLM\\SOFTWARE\\Mixed"});
  EXPECT_EQ(q.code, 1);
  EXPECT_NE(q.out.find("Before    REG_DWORD    0x1"), std::string::npos) << q.out;
  EXPECT_NE(q.out.find("Zafter    REG_DWORD    0x2"), std::string::npos) << q.out;
  EXPECT_NE(q.err.find("Value [Middle] of [HKEY_LOCAL_MACHINE\\SOFTWARE\\Mixed] cannot be read"),
            std::string::npos)
      << q.err;
  EXPECT_NE(q.err.find("@Middle] refused (error 13): holds no 32-bit"), std::string::npos) << q.err;

  const std::string file = (root / "mixed.reg").string();
  const result e = krreg({"export", "HKLM\\SOFTWARE\\Mixed", file});
  EXPECT_EQ(e.code, 1);
  EXPECT_NE(e.err.find("Value [Middle]"), std::string::npos) << e.err;
  const std::string exported = slurp(file);
  EXPECT_NE(exported.find(std::string("d\0w\0o\0r\0d\0:\0", 12)), std::string::npos);
  EXPECT_EQ(exported.find(std::string("M\0i\0d\0", 6)), std::string::npos);
}

TEST_F(KrregTest, AnImportIsCheckedWholeBeforeAnythingIsApplied) {
  HKEY key = create(L"SOFTWARE\\Kept");
  ASSERT_EQ(set_dword(key, L"V", 5), 0);
  const auto import = [&](const std::string& text) {
    std::ofstream(root / "in.reg") << "Windows Registry Editor Version 5.00\n\n" << text;
    return krreg({"import", (root / "in.reg").string()});
  };
  // Deleting a root is refused as the delete command refuses it; the
  // blocks ahead of the bad line are not applied either.
  const char* const bad[] = {
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\New]\n\"a\"=dword:1\n\n[-HKEY_LOCAL_MACHINE]\n",
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\New]\n\"a\"=dword:1\n\n[-HKEY_LOCAL_MACHINE\\]\n",
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\New]\n\"a\"=dword:1\n\n[HKEY_NOWHERE\\X]\n",
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\New]\n\"a\"=dword:1\n\"b\"=dword:2\n\"n\"=hex(4):01,02\n",
  };
  for (const char* text : bad) {
    const result r = import(text);
    EXPECT_EQ(r.code, 1) << text;
    EXPECT_NE(r.err.find(": line 6: "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Nothing was applied."), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(root / "HKLM" / "SOFTWARE" / "New")) << text;
  }
  EXPECT_NE(import("[-HKEY_LOCAL_MACHINE]\n").err.find("A root key cannot be deleted."),
            std::string::npos);
  DWORD type = 0;
  std::vector<BYTE> image;
  ASSERT_EQ(query(key, L"V", type, image), 0);
  EXPECT_EQ(image[0], 5);
  RegCloseKey(key);

  // A value name holding NUL would be stored cut off at it: refused.
  const std::wstring text = std::wstring(krreg::kRegHeader) +
                            L"\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Nul]\r\n\"ab" + L'\0' +
                            L"cd\"=dword:1\r\n";
  std::ofstream(root / "nul.reg", std::ios::binary) << krreg::encode_reg_file(text);
  const result nul = krreg({"import", (root / "nul.reg").string()});
  EXPECT_EQ(nul.code, 1);
  EXPECT_NE(nul.err.find("line 4: a value name holds a NUL character"), std::string::npos)
      << nul.err;
  EXPECT_FALSE(fs::exists(root / "HKLM" / "SOFTWARE" / "Nul"));
}

// Reads from `fd` until the text holds `wanted` (false after 10 s of silence).
bool read_until(int fd, std::string& text, const std::string& wanted) {
  while (text.find(wanted) == std::string::npos) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 10000) <= 0) return false;
    char buffer[256];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) return false;
    text.append(buffer, static_cast<size_t>(n));
  }
  return true;
}

TEST_F(KrregTest, WatchPrintsEachChangeUntilInterrupted) {
  RegCloseKey(create(L"SOFTWARE\\Watched"));
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(pipe_fds[1], 1);
    ::close(pipe_fds[0]);
    ::execl(KRREG_PATH, KRREG_PATH, "watch", "HKLM/SOFTWARE/Watched", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(pipe_fds[1]);
  std::string text;
  EXPECT_TRUE(read_until(pipe_fds[0], text, "Watching HKEY_LOCAL_MACHINE\\SOFTWARE\\Watched"));
  HKEY key = create(L"SOFTWARE\\Watched\\Sub");  // a sub-key counts
  EXPECT_TRUE(read_until(pipe_fds[0], text, "changed HKEY_LOCAL_MACHINE\\SOFTWARE\\Watched\n"));
  text.clear();
  ASSERT_EQ(set_dword(key, L"V", 1), 0);
  // Each change names the values it changed, with their new data.
  EXPECT_TRUE(read_until(pipe_fds[0], text,
                         "HKEY_LOCAL_MACHINE\\SOFTWARE\\Watched\\Sub    V    REG_DWORD    0x1\n"))
      << text;
  text.clear();
  ASSERT_EQ(RegDeleteValueW(key, L"V"), 0);
  EXPECT_TRUE(read_until(pipe_fds[0], text, "Sub    V    (deleted)\n")) << text;
  RegCloseKey(key);
  ::kill(pid, SIGINT);
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status));
  ::close(pipe_fds[0]);
}

TEST_F(KrregTest, FailuresExitOneWithOneLineSayingWhy) {
  const auto one_line = [](const result& r) {
    return r.code == 1 && !r.err.empty() && r.err.find('\n') == r.err.size() - 1;
  };
  const result missing = krreg({"query", "HKLM\\SOFTWARE\\Nothing"});
  EXPECT_TRUE(one_line(missing)) << missing.err;
  EXPECT_NE(missing.err.find("unable to find"), std::string::npos);
  const result type = krreg({"add", "HKLM\\SOFTWARE\\X", "/v", "a", "/t", "REG_FOO", "/d", "1"});
  EXPECT_TRUE(one_line(type));
  EXPECT_NE(type.err.find("REG_FOO"), std::string::npos);
  EXPECT_TRUE(one_line(krreg({"add", "HKLM\\SOFTWARE\\X", "/v", "a", "/t", "REG_DWORD", "/d", "12abc"})));
  EXPECT_TRUE(one_line(krreg({"query", "HKXX\\SOFTWARE"})));
  EXPECT_TRUE(one_line(krreg({"frobnicate", "HKLM"})));

  std::ofstream(root / "bad.reg") << "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\A]\n"
                                     "\"v\"=dword:xyz\n";
  const result bad = krreg({"import", (root / "bad.reg").string()});
  EXPECT_TRUE(one_line(bad));
  EXPECT_NE(bad.err.find("line 4"), std::string::npos) << bad.err;
  EXPECT_EQ(krreg({"--help"}).code, 0);
}

TEST_F(KrregTest, ExportGoesWhereItIsToldAndReplacesAFileOnlyWhenAsked) {
  HKEY key = create(L"SOFTWARE\\Out");
  ASSERT_EQ(set_dword(key, L"V", 1), 0);
  RegCloseKey(key);
  const result version = krreg({"--version"});
  EXPECT_EQ(version.code, 0);
  EXPECT_EQ(version.out.rfind("krreg ", 0), 0u) << version.out;

  // "-" is standard output, not a file of that name.
  const fs::path cwd = fs::current_path();
  fs::current_path(root);
  const result to_stdout = krreg({"export", "HKLM\\SOFTWARE\\Out", "-"});
  fs::current_path(cwd);
  EXPECT_EQ(to_stdout.code, 0);
  EXPECT_EQ(to_stdout.out.rfind("\xFF\xFEW\0i\0n\0", 0), 0u);
  EXPECT_FALSE(fs::exists(root / "-"));

  // A name that is not UTF-8 is kept byte for byte.
  const std::string latin1 = (root / "caf\xE9.reg").string();
  ASSERT_EQ(krreg({"export", "HKLM\\SOFTWARE\\Out", latin1}).code, 0);
  EXPECT_TRUE(fs::exists(latin1));
  EXPECT_EQ(slurp(latin1), to_stdout.out);

  // An existing file is replaced only with /y when no terminal can be asked.
  std::ofstream(root / "old.reg") << "keep";
  const result refused = krreg({"export", "HKLM\\SOFTWARE\\Out", (root / "old.reg").string()});
  EXPECT_EQ(refused.code, 1);
  EXPECT_NE(refused.err.find("already exists"), std::string::npos) << refused.err;
  EXPECT_EQ(slurp(root / "old.reg"), "keep");
  EXPECT_EQ(krreg({"export", "HKLM\\SOFTWARE\\Out", (root / "old.reg").string(), "/y"}).code, 0);
  EXPECT_EQ(slurp(root / "old.reg"), to_stdout.out);
}

TEST_F(KrregTest, ImportRefusesWhatIsNoFileAndWhatItWouldStoreWrongly) {
  // Neither waits on a FIFO nor reads a device without end.
  ASSERT_EQ(::mkfifo((root / "fifo").c_str(), 0600), 0);
  for (const std::string& file : {(root / "fifo").string(), std::string("/dev/zero")}) {
    const result r = krreg({"import", file});
    EXPECT_EQ(r.code, 1) << file;
    EXPECT_NE(r.err.find(file), std::string::npos) << r.err;
  }

  const auto import = [&](const std::string& text) {
    std::ofstream(root / "in.reg") << "Windows Registry Editor Version 5.00\n\n" << text;
    return krreg({"import", (root / "in.reg").string()});
  };
  // An escape export never writes is no line break, and no 'n' either.
  const result escape = import("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Esc]\n\"v\"=\"line1\\nline2\"\n");
  EXPECT_EQ(escape.code, 1);
  EXPECT_NE(escape.err.find("line 4: unknown escape"), std::string::npos) << escape.err;
  // A name too long for the store, in a later block, keeps the earlier
  // blocks from being applied.
  for (const std::string& late :
       {"[HKEY_LOCAL_MACHINE\\SOFTWARE\\" + std::string(256, 'k') + "]\n",
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\B]\n\"" + std::string(16384, 'v') + "\"=dword:1\n"}) {
    const result r = import("[HKEY_LOCAL_MACHINE\\SOFTWARE\\First]\n\"a\"=dword:1\n\n" + late);
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("Nothing was applied."), std::string::npos) << r.err;
  }
  EXPECT_FALSE(fs::exists(root / "HKLM" / "SOFTWARE" / "First"));
  EXPECT_FALSE(fs::exists(root / "HKLM" / "SOFTWARE" / "Esc"));
}

}  // namespace

// The command-line splitter against the system's own: a few thousand
// generated lines (runs of quotes, backslashes, spaces and tabs) go through
// one run of a Windows program under Wine that splits each with
// CommandLineToArgvW, and every line must split the same here.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <krcore/cmdline.h>
#include <krcore/foundation.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

using Args = std::vector<std::string>;

Args split_here(const std::string& line) {
  int argc = -1;
  wchar_t** argv = CommandLineToArgvW(krCore::convertstringtowstring(line).c_str(), &argc);
  if (!argv) return {"<failed>"};
  Args out;
  for (int i = 0; i < argc; ++i) out.push_back(krCore::convertwstringtostring(argv[i]));
  std::free(argv);
  return out;
}

// Lines of 1 to 24 characters; quotes and backslashes come in runs, which
// is where the rules are subtle.
std::vector<std::string> generated_lines(std::size_t count) {
  std::mt19937 rng(20261207);
  const char alphabet[] = {'a', 'b', ' ', '\t', '"', '\\'};
  auto pick = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n)(rng); };
  std::vector<std::string> lines{R"(p "a b""c d")", R"(p """"")", R"(p "a""b" c)"};
  while (lines.size() < count) {
    std::string line;
    const std::size_t length = 1 + pick(23);
    while (line.size() < length) {
      const char c = alphabet[pick(sizeof alphabet - 1)];
      line.append(c == '"' || c == '\\' ? 1 + pick(4) : 1, c);
    }
    lines.push_back(line);
  }
  return lines;
}

// Runs the Windows splitter over `input` under Wine; its output in `output`.
// An empty string on success, otherwise what went wrong.
std::string run_under_wine(const std::filesystem::path& input,
                           const std::filesystem::path& output) {
  // Wine's own prefix and no debug channels; without a window system it
  // must not try to show its first-start dialog.
  std::vector<std::string> variables{std::string("WINEPREFIX=") + WINE_PREFIX, "WINEDEBUG=-all"};
  for (char** e = environ; *e; ++e) {
    const std::string entry(*e);
    if (entry.rfind("DISPLAY=", 0) != 0 && entry.rfind("WINE", 0) != 0) variables.push_back(entry);
  }
  std::vector<char*> envp;
  envp.reserve(variables.size() + 1);
  for (std::string& v : variables) envp.push_back(v.data());
  envp.push_back(nullptr);
  char* const argv[] = {const_cast<char*>(WINE64), const_cast<char*>(SPLIT_LINES_EXE), nullptr};
  const pid_t child = fork();
  if (child < 0) return "fork failed";
  if (child == 0) {
    const int in = open(input.c_str(), O_RDONLY | O_CLOEXEC);
    const int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (in < 0 || out < 0 || null < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(null, 2) < 0)
      _exit(126);
    execve(WINE64, argv, envp.data());
    _exit(127);
  }
  int status = 0;
  if (waitpid(child, &status, 0) != child) return "waitpid failed";
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return "wine ended with status " + std::to_string(status);
  return {};
}

TEST(CommandLineSplittingUnderWine, MatchesTheSystemSplitterLineForLine) {
  if (std::string(SPLIT_LINES_EXE).empty()) GTEST_SKIP() << "no MinGW-w64 cross compiler";
  if (std::string(WINE64).empty()) GTEST_SKIP() << "no wine64";
  const auto dir =
      std::filesystem::temp_directory_path() / ("wine_split_" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::vector<std::string> lines = generated_lines(3000);
  {
    std::ofstream in(dir / "lines.txt", std::ios::binary);
    for (const std::string& line : lines) in << line << '\n';
  }
  const std::string failure = run_under_wine(dir / "lines.txt", dir / "split.txt");
  ASSERT_EQ(failure, "");

  std::ifstream result(dir / "split.txt", std::ios::binary);
  std::string reply;
  std::size_t compared = 0, differ = 0;
  for (const std::string& line : lines) {
    ASSERT_TRUE(std::getline(result, reply)) << "the system's output ends before line " << compared;
    Args system;
    std::istringstream fields(reply);
    for (std::string field; std::getline(fields, field, '\x1f');) system.push_back(field);
    const Args here = split_here(line);
    if (here != system && ++differ <= 10) {
      std::string shown;
      for (const std::string& a : system) shown += "[" + a + "]";
      ADD_FAILURE() << "line [" << line << "]: the system gives " << shown;
    }
    ++compared;
  }
  EXPECT_EQ(differ, 0u) << "of " << compared << " lines";
  std::filesystem::remove_all(dir);
}

}  // namespace

// CommandLineArgs: how arguments become named parameters, switches and
// unparsed arguments, the typed look-ups, the progress messages on the
// debugger channel, and a freshly started process reading its own
// arguments.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <krcore/cmdline.h>
#include <krcore/foundation.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/lexical_cast.hpp>
#include <string>
#include <vector>

#include "logging/debug_output.h"

extern char** environ;

using krCore::CommandLineArgs;

namespace {

using Args = std::vector<std::wstring>;

// Parses `args` (program name first) the way a program's main would.
bool parse(CommandLineArgs& cl, Args args) {
  std::vector<wchar_t*> argv;
  for (auto& a : args) argv.push_back(a.data());
  return cl.ParseCommandLine(static_cast<int>(argv.size()), argv.data());
}

TEST(CommandLineArgs, NamesAreLowerCasedAndTheLaterValueWins) {
  CommandLineArgs cl;
  EXPECT_TRUE(parse(cl, {L"  prog.exe ", L"x=1", L"X=Two", L"a=b=c", L"=v", L"name="}));
  EXPECT_EQ(cl.ModulePath(), L"prog.exe");
  EXPECT_EQ(cl.FindParameter(L"x"), L"Two");  // value case kept
  EXPECT_EQ(cl.FindParameter(L"A"), L"b=c");
  EXPECT_EQ(cl.FindParameter(L""), L"v");
  EXPECT_TRUE(cl.Exist(L"NAME"));
  EXPECT_EQ(cl.FindParameter(L"name"), L"");
  EXPECT_FALSE(cl.FindParameterAsBool(L"name", false));
  EXPECT_EQ(cl.FindParameterAsLong(L"name", 42), 42);
  EXPECT_EQ(cl.ParsedParameters().size(), 4u);
  EXPECT_TRUE(cl.UnParsedParameters().empty());
}

TEST(CommandLineArgs, SwitchesLoseOnePrefixCharacterOnly) {
  CommandLineArgs cl;
  EXPECT_TRUE(parse(cl, {L"p", L"/Verbose", L"--Level", L"/name=value", L"-", L"plain"}));
  EXPECT_TRUE(cl.Exist(L"VERBOSE"));
  EXPECT_TRUE(cl.FindParameterAsBool(L"Verbose", false));
  EXPECT_TRUE(cl.Exist(L"-level"));
  EXPECT_FALSE(cl.Exist(L"level"));
  // With '=' the prefix stays part of the name.
  EXPECT_EQ(cl.FindParameter(L"name"), L"");
  EXPECT_EQ(cl.FindParameter(L"/NAME"), L"value");
  EXPECT_EQ(cl.FindParameter(L""), L"true");  // "-" alone: the empty name
  EXPECT_EQ(cl.UnParsedParameters(), Args{L"plain"});
}

TEST(CommandLineArgs, ResultAndReplacementAcrossParses) {
  CommandLineArgs cl;
  EXPECT_FALSE(parse(cl, {L"p", L"one", L"two"}));  // nothing named: false
  EXPECT_EQ(cl.UnParsedParameters(), (Args{L"one", L"two"}));

  ASSERT_TRUE(parse(cl, {L"q", L"k=v"}));
  EXPECT_FALSE(cl.ParseCommandLine(0, nullptr));  // argc 0 keeps everything
  EXPECT_EQ(cl.ModulePath(), L"q");
  EXPECT_EQ(cl.FindParameter(L"k"), L"v");

  EXPECT_FALSE(parse(cl, {L" r "}));  // argc 1 empties both collections
  EXPECT_EQ(cl.ModulePath(), L"r");
  EXPECT_TRUE(cl.ParsedParameters().empty());
  EXPECT_TRUE(cl.UnParsedParameters().empty());

  // The program name is never a parameter, even when it looks like one.
  EXPECT_FALSE(parse(cl, {L"/x=1"}));
  EXPECT_EQ(cl.ModulePath(), L"/x=1");
  EXPECT_FALSE(cl.Exist(L"/x"));
}

TEST(CommandLineArgs, TypedLookups) {
  CommandLineArgs cl;
  parse(cl, {L"p", L"y=Yes", L"n=No", L"two=2", L"sp= yes", L"neg=-15", L"junk=12abc",
             L"big=2147483648", L"min=-2147483648"});
  EXPECT_TRUE(cl.FindParameterAsBool(L"y", false));
  EXPECT_FALSE(cl.FindParameterAsBool(L"n", true));
  EXPECT_TRUE(cl.FindParameterAsBool(L"two", true));
  EXPECT_FALSE(cl.FindParameterAsBool(L"two", false));
  EXPECT_FALSE(cl.FindParameterAsBool(L"sp", false));  // whole words only
  EXPECT_TRUE(cl.FindParameterAsBool(L"absent", true));

  EXPECT_EQ(cl.FindParameterAsLong(L"neg", 0), -15);
  EXPECT_EQ(cl.FindParameterAsLong(L"min", 0), -2147483648L);
  EXPECT_EQ(cl.FindParameterAsLong(L"absent", 7), 7);
  EXPECT_THROW(cl.FindParameterAsLong(L"junk", 0), boost::bad_lexical_cast);
  EXPECT_THROW(cl.FindParameterAsLong(L"big", 0), boost::bad_lexical_cast);
}

TEST(CommandLineArgs, TextConstructorCopyAndDerivedParsing) {
  CommandLineArgs cl;
  EXPECT_TRUE(cl.ParseCommandLine(LR"("C:\a b\p.exe" "Path=C:\x y\\" /q rest)"));
  EXPECT_EQ(cl.ModulePath(), LR"(C:\a b\p.exe)");
  EXPECT_EQ(cl.FindParameter(L"path"), LR"(C:\x y\)");
  EXPECT_EQ(cl.UnParsedParameters(), Args{L"rest"});

  const CommandLineArgs copy(cl);
  cl = CommandLineArgs();
  EXPECT_TRUE(copy.Exist(L"q"));
  EXPECT_EQ(copy.ModulePath(), LR"(C:\a b\p.exe)");

  // The text form goes through the virtual parser.
  struct Counting : CommandLineArgs {
    int calls = 0;
    bool ParseCommandLine(int argc, wchar_t* const argv[]) override {
      ++calls;
      return CommandLineArgs::ParseCommandLine(argc, argv);
    }
    using CommandLineArgs::ParseCommandLine;
  } counting;
  counting.ParseCommandLine(L"p a=1");
  EXPECT_EQ(counting.calls, 1);
}

TEST(CommandLineArgs, ProgressGoesToTheDebuggerChannel) {
  std::vector<std::wstring> lines;
  krCore::detail::set_debug_output_hook([&](const std::wstring& t) { lines.push_back(t); });
  CommandLineArgs cl;
  parse(cl, {L"prog", L"A=1", L"-Sw", L"loose", L"a=2"});
  krCore::detail::set_debug_output_hook({});
  const std::vector<std::wstring> expected = {
      L"CommandLineArgs - begin parse of command line for prog\r\n",
      L"CommandLineArgs - parsed parameter [a] with value = [1]\r\n",
      L"CommandLineArgs - parsed parameter [-Sw] as [sw] with value = [true]\r\n",
      L"CommandLineArgs - couldn't parse parameter [loose]\r\n",
      L"CommandLineArgs - parsed parameter [a] with value = [2]\r\n",
      L"CommandLineArgs - parsed 2 parameters, and couldn't parse 1 parameters.\r\n",
  };
  EXPECT_EQ(lines, expected);
}

// Starts the child program with `args` after its own name and returns its
// output (the child ends when done, so end of output is the event).
std::string run_child(const std::vector<std::string>& args) {
  std::vector<std::string> all{CMDLINE_CHILD_PATH};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return "pipe failed";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, CMDLINE_CHILD_PATH, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  std::string out;
  char buf[4096];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, n);
  close(fds[0]);
  if (rc != 0) return "spawn failed";
  int status = 0;
  waitpid(pid, &status, 0);
  return out;
}

TEST(CommandLineArgs, ProcessReadsItsOwnArgumentsUnchanged) {
  const std::string out = run_child({"Name=Two Words", "", "quote\"in", "back\\\\", "tab\tx", "/Sw",
                                     "--Dash", "Grüße=Ünïcode", "loose arg"});
  const std::string self = "[" CMDLINE_CHILD_PATH "]\n";
  const std::string args =
      "[Name=Two Words]\n[]\n[quote\"in]\n[back\\\\]\n[tab\tx]\n[/Sw]\n[--Dash]\n"
      "[Grüße=Ünïcode]\n[loose arg]\n";
  // The joined command line splits back into the very arguments, and the
  // parse sees them without any re-quoting.
  EXPECT_EQ(out, self + args + "--\n" + self +
                     "[-dash=true]\n[grüße=Ünïcode]\n[name=Two Words]\n[sw=true]\n"
                     "[?]\n[?quote\"in]\n[?back\\\\]\n[?tab\tx]\n[?loose arg]\n");
}

}  // namespace

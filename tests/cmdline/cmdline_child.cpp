// Prints, one per line and UTF-8 encoded, how this process sees its own
// arguments: first the arguments split back out of GetCommandLineW, then a
// line "--", then what CommandLineArgs::ParseCommandLine() parsed (the
// module path, then name=value per parsed parameter, then "?" and each
// unparsed argument). Arguments are bracketed so empty ones show.
#include <krcore/cmdline.h>
#include <krcore/foundation.h>

#include <cstdio>
#include <cstdlib>

int main() {
  auto print = [](const std::wstring& text) {
    std::printf("[%s]\n", krCore::convertwstringtostring(text).c_str());
  };
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  for (int i = 0; i < argc; ++i) print(argv[i]);
#if defined(_WIN32)
  LocalFree(argv);  // the system's splitter allocates with LocalAlloc
#else
  std::free(argv);
#endif
  std::printf("--\n");
  krCore::CommandLineArgs args;
  args.ParseCommandLine();
  print(args.ModulePath());
  for (const auto& [name, value] : args.ParsedParameters()) print(name + L"=" + value);
  for (const auto& arg : args.UnParsedParameters()) print(L"?" + arg);
  return 0;
}

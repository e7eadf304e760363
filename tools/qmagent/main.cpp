// qmagent: the demo agent. It shows what the library can do on this machine
// and grows with the library.
#include <krcore/foundation.h>
#include <krcore/logging.h>
#include <krcore/sysutil.h>

#include <cstdio>
#include <initializer_list>

int main(int argc, char** argv) {
  using namespace krCore;
  std::printf("qmagent - demo agent of the qmcore library\n");
  std::printf("Module path:      %s\n", convertwstringtostring(getmodulepath(true)).c_str());
  std::printf("Module directory: %s\n", convertwstringtostring(getmodulepath(false)).c_str());
  std::printf("A fresh GUID:     %s\n", convertwstringtostring(createguid()).c_str());
  std::printf("System texts of a few error codes:\n");
  for (unsigned long code : {2ul, 5ul, 87ul, 183ul, 258ul, 0x80004005ul, 0x80070005ul, 0xABCul})
    std::printf("  0x%08lx  %s\n", code, geterrormessage_shortstring(code).c_str());
  std::fflush(stdout);

  // Logging: to the log file (option 0x1) and a console copy (option 0x2)
  // at the verbose level, so the settings report and every line below reach
  // both; the callback counts the entries that were written. The file's base
  // name is the first argument, else the default location.
  logger* log = singleton<logger>::instance();
  int written = 0;
  log->set_write_message_func([&written](const wchar_t*, logger::log_levels) { ++written; });
  const std::wstring exe = getmodulepath(true);
  const std::wstring name = exe.substr(exe.rfind(L'/') + 1);  // no extension here
  const std::wstring given = argc > 1 ? convertstringtowstring(argv[1]) : std::wstring();
  const std::wstring base =
      argc > 1 ? given : GetAppDataDirectory() + L"/Vantrel/Logs/" + name + L"/" + name;
  log->initialize(0x3, logger::log_verbose, 0, 0, argc > 1 ? given.c_str() : nullptr);
  std::printf("Log file:         %s.0001.log.txt\n", convertwstringtostring(base).c_str());
  LOG(std::wstring(L"qmagent - logger started"));
  LOGVERBOSE(std::string("qmagent - a verbose line"));
  {
    basic_log_ostream<wchar_t> out(logger::log_warning);
    out << L"qmagent - a warning built in a stream [" << 42 << L"]";
  }
  std::printf("qmagent: the logger wrote %d entries.\n", written);
  logger::close();
  std::printf("qmagent done.\n");
  return 0;
}

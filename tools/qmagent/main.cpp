// qmagent: the demo agent. It runs as a small agent would: a log file, the
// process-wide command scheduler with a heartbeat command that reschedules
// itself every second, and the clock-change monitor; it stops when asked (see
// stop.h) or after --duration seconds and then shows the end of its log file.
#include <krcore/foundation.h>
#include <krcore/logging.h>
#include <krcore/registry.h>
#include <krcore/sysutil.h>
#include <krcore/threading.h>
#include <krcore/timing.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>

#include "stop.h"

namespace {

using namespace krCore;

struct options {
  double duration_s = 0.0;  // 0: until asked to stop
  int level = logger::log_normal;
  std::wstring logfile;  // the log's base name; empty: the default location
  bool verbose = false;  // copy every log line to standard output
  // No logging switch given: the machine's logging key configures the log
  // (and reconfigures it while the agent runs).
  bool from_registry = true;
  int tail_lines = 10;
  bool stop = false;  // --stop: ask the running agents to stop (Windows)
};

// The help text, on standard output for --help and on standard error after
// a bad argument. Its shape is the usual one of command-line tools, which
// the manual page is generated from.
void usage(std::FILE* to) {
  (void)std::fprintf(
      to,
      "Usage: qmagent [OPTION]...\n"
      "Runs the monitoring agent until %s: a log file, the command\n"
      "scheduler with a heartbeat every second, and the clock-change monitor.\n"
      "\n"
      "Options:\n"
      "  --duration SECONDS  stop after SECONDS (default: run until %s)\n"
      "  --level LEVEL       lowest level written to the log: verbose, normal, warning\n"
      "                      or error; without --level and --verbose the log is\n"
      "                      configured by the registry key\n"
      "                      HKLM\\SOFTWARE\\Vantrel\\Logging (see krreg) and follows\n"
      "                      its changes\n"
      "  --logdir DIR        write DIR/qmagent.0001.log.txt\n"
      "  --logfile BASE      write BASE.0001.log.txt (default: under the common\n"
#ifdef _WIN32
      "                      application data directory, %%ProgramData%%)\n"
#else
      "                      application data directory, KRCORE_COMMON_APPDATA or\n"
      "                      /var/lib; LOGS_DIRECTORY when systemd sets it)\n"
#endif
      "  --tail LINES        how many lines of the log to show at the end (default:\n"
      "                      10); 0 shows none and does not read the log back\n"
      "  --verbose           verbose level, and every log line copied to standard\n"
      "                      output\n"
#ifdef _WIN32
      "  --stop              ask the agents running in this session to stop, and exit\n"
#endif
      "  -h, --help          show this help and exit\n",
      qmagent::kStopRequests, qmagent::kStopRequests);
}

int level_from(const std::string& name) {
  if (name == "verbose") return logger::log_verbose;
  if (name == "normal") return logger::log_normal;
  if (name == "warning") return logger::log_warning;
  if (name == "error") return logger::log_error;
  return 0;
}

// False (after printing why) for arguments it does not understand, and for
// a request for help (`help` set). True for --stop, which ends parsing.
bool parse(int argc, char** argv, options& out, bool& help) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--help" || arg == "-h") {
      help = true;
      return false;
    }
#ifdef _WIN32
    if (arg == "--stop") {
      out.stop = true;
      return true;
    }
#endif
    if (arg == "--verbose") {
      out.from_registry = false;
      out.verbose = true;
      out.level = logger::log_verbose;
    } else if (arg == "--duration" && has_value) {
      char* end = nullptr;
      out.duration_s = std::strtod(argv[++i], &end);
      if (*end || out.duration_s < 0) {
        (void)std::fprintf(stderr, "qmagent: bad duration [%s]\n", argv[i]);
        return false;
      }
    } else if (arg == "--level" && has_value) {
      out.from_registry = false;
      out.level = level_from(argv[++i]);
      if (!out.level) {
        (void)std::fprintf(stderr, "qmagent: unknown level [%s]\n", argv[i]);
        return false;
      }
    } else if (arg == "--logdir" && has_value) {
      out.logfile = convertstringtowstring(argv[++i]) + L"/qmagent";
    } else if (arg == "--logfile" && has_value) {
      out.logfile = convertstringtowstring(argv[++i]);
    } else if (arg == "--tail" && has_value) {
      out.tail_lines = static_cast<int>(std::strtol(argv[++i], nullptr, 10));
    } else {
      (void)std::fprintf(stderr, "qmagent: unknown argument [%s]\n", arg.c_str());
      return false;
    }
  }
  return true;
}

// Logs the uptime and the process counter, then schedules itself one second
// after its previous moment, so the beats do not drift.
class heartbeat : public threadwork, public std::enable_shared_from_this<heartbeat> {
 public:
  explicit heartbeat(ICommandScheduler& scheduler) : _scheduler(scheduler) {}

  void start() { _scheduler.AddDelay(0.0, shared_from_this()); }
  int beats() const { return _beats.load(); }
  // Whether a beat came in the last few seconds: the scheduler and its pool
  // are not stuck.
  bool beating() const { return _scheduler.Stopwatch().Elapsed_s() - _last.load() < 5.0; }

  void Execute() override {
    ProcessServices& services = *singleton<ProcessServices>::instance();
    const int beat = ++_beats;
    {
      basic_log_ostream<wchar_t> out(logger::log_normal);
      out << L"qmagent - heartbeat [" << beat << L"], uptime [" << services.Stopwatch().Elapsed_s()
          << L"] s, process counter [" << services.NextCounter() << L"]";
    }
    const double now = _scheduler.Stopwatch().Elapsed_s();
    _last = now;
    qmagent::report_status("running: heartbeat " + std::to_string(beat) + ", uptime " +
                           std::to_string(static_cast<long>(services.Stopwatch().Elapsed_s())) +
                           " s");
    _next = (_next < 0.0 ? now : _next) + 1.0;
    if (singleton<logger>::instance()->is_enabled(logger::log_verbose)) {
      basic_log_ostream<wchar_t> out(logger::log_verbose);
      out << L"qmagent - heartbeat [" << beat << L"] next moment [" << _next << L"] s";
    }
    _scheduler.AddMoment(_next, shared_from_this());
  }

 private:
  ICommandScheduler& _scheduler;
  double _next = -1.0;
  std::atomic<int> _beats{0};
  std::atomic<double> _last{0.0};
};

// The logger's default base name: under the common application-data
// folder, a folder named after the program's stem and the program's file
// name ("qmagent" here, "qmagent.exe" on Windows).
std::wstring default_log_base() {
  const std::wstring module = getmodulepath(true);
  const std::wstring name = module.substr(module.find_last_of(L"/\\") + 1);
  const std::size_t dot = name.rfind(L'.');
  const std::wstring stem = dot == std::wstring::npos || dot == 0 ? name : name.substr(0, dot);
  return GetAppDataDirectory() + L"/Vantrel/Logs/" + stem + L"/" + name;
}

// The last `count` lines of a UTF-16 log file, as UTF-8.
std::deque<std::string> last_lines(const std::wstring& path, int count) {
#ifdef _WIN32
  std::ifstream file(std::filesystem::path(path), std::ios::binary);
#else
  // The wide path holds the file name's bytes in the library's reversible
  // mapping, which only the library undoes.
  std::ifstream file(convertwstringtostring(path), std::ios::binary);
#endif
  std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(file)),
                                   std::istreambuf_iterator<char>());
  if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE)
    bytes.erase(bytes.begin(), bytes.begin() + 2);  // the byte-order mark
  std::wistringstream text(StringFromBytes(bytes));
  std::deque<std::string> lines;
  for (std::wstring line; std::getline(text, line);) {
    if (!line.empty() && line.back() == L'\r') line.pop_back();
    lines.push_back(convertwstringtostring(line));
    if (static_cast<int>(lines.size()) > count) lines.pop_front();
  }
  return lines;
}

}  // namespace

int main(int argc, char** argv) {
  options opt;
  bool help = false;
  if (!parse(argc, argv, opt, help)) {
    usage(help ? stdout : stderr);
    return help ? 0 : 2;
  }
#ifdef _WIN32
  if (opt.stop) return qmagent::request_stop();
#endif
  // Before any thread starts (see stop.h).
  if (!qmagent::arm_stop_requests()) return 1;

  std::printf("qmagent - demo agent of the qmcore library\n");
  std::printf("Module path:      %s\n", convertwstringtostring(getmodulepath(true)).c_str());

  // The log file: option 0x1, plus 0x2 (a copy on standard output) when
  // verbose. The default base name is the logger's default location, or
  // the logs directory systemd made for the unit ($LOGS_DIRECTORY).
#ifndef _WIN32
  const char* logs_directory = std::getenv("LOGS_DIRECTORY");
  if (opt.logfile.empty() && logs_directory && *logs_directory)
    opt.logfile = convertstringtowstring(logs_directory) + L"/qmagent";
#endif
  const std::wstring base = opt.logfile.empty() ? default_log_base() : opt.logfile;
  const std::wstring logfile = base + L".0001.log.txt";
  const std::string logpath = convertwstringtostring(logfile);
  logger* log = singleton<logger>::instance();
  const wchar_t* name = opt.logfile.empty() ? nullptr : opt.logfile.c_str();
  // The registry drives the log only where an administrator set it up (the
  // key with its "Enable" value); elsewhere the agent logs with the command
  // line's defaults.
  if (opt.from_registry) {
    HKEY key = nullptr;
    bool configured = false;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Vantrel\\Logging", 0, KEY_READ, &key) == 0) {
      configured = RegQueryValueExW(key, L"Enable", nullptr, nullptr, nullptr, nullptr) == 0;
      RegCloseKey(key);
    }
    opt.from_registry = configured;
  }
  if (opt.from_registry)
    log->initialize(name);
  else
    log->initialize(opt.verbose ? 0x3 : 0x1, opt.level, 0, 0, name);
  std::printf("Log file:         %s\n", logpath.c_str());
  std::printf("Log settings:     %s\n", opt.from_registry
                                            ? "registry key HKLM\\SOFTWARE\\Vantrel\\Logging, followed live"
                                            : "command line and defaults");
  LOG(std::wstring(L"qmagent - started"));

  ProcessServices& services = *singleton<ProcessServices>::instance();
  ICommandScheduler& scheduler = services.CommandScheduler();
  const int pool_threads = scheduler.Start();
  std::printf("Command scheduler started, pool of %d thread(s).\n", pool_threads);

  singleton<krMonitorWindow>::instance();
  LOG(std::wstring(L"qmagent - clock-change monitor started"));
  std::printf("Clock-change monitor started.\n");

  auto beat = std::make_shared<heartbeat>(scheduler);
  beat->start();
  qmagent::set_health_check([&beat] { return beat->beating(); });
  qmagent::report_ready("started, log " + logpath);
  if (opt.duration_s > 0)
    std::printf("Running for %g s (Ctrl-C stops earlier)...\n", opt.duration_s);
  else
    std::printf("Running until %s...\n", qmagent::kStopRequests);
  (void)std::fflush(stdout);

  const char* const stopped_by = qmagent::wait_for_stop(opt.duration_s);
  qmagent::report_stopping(std::string("stopping (") + stopped_by + ")");
  {
    basic_log_ostream<wchar_t> out(logger::log_normal);
    out << L"qmagent - stopping (" << convertstringtowstring(stopped_by) << L"), uptime ["
        << services.Stopwatch().Elapsed_s() << L"] s";
  }
  const bool clean = scheduler.Shutdown(5000);
  krMonitorWindow::close();
  LOG(std::wstring(L"qmagent - stopped"));
  logger::close();
  qmagent::stopped();

  std::printf("\nStopped by %s after %.2f s: %d heartbeat(s), scheduler shutdown %s.\n",
              stopped_by, services.Stopwatch().Elapsed_s(), beat->beats(),
              clean ? "clean" : "forced");
  std::printf("Log file: %s\n", logpath.c_str());
  // A service asks for no tail: its output goes to the journal, and a log
  // that the registry turned off is no failure there.
  if (opt.tail_lines <= 0) return clean ? 0 : 1;
  const std::deque<std::string> tail = last_lines(logfile, opt.tail_lines);
  if (tail.empty()) {
    std::printf("(the log file could not be read: is its directory writable? Try --logdir)\n");
    return 1;
  }
  std::printf("Its last %zu line(s):\n", tail.size());
  for (const std::string& line : tail) std::printf("  %s\n", line.c_str());
  return clean ? 0 : 1;
}

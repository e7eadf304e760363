// Logger throughput, in two parts.
//
// The file rounds: nanoseconds per line of a ~100-character entry logged at
// log_normal to a file only, with 1 and 2 threads, against two peers in the
// same process: spdlog's basic file sink flushed after every line (every
// line in the kernel before the call returns, as ours is: the fair peer)
// and a bare write() of a line as long as ours (the floor one thread cannot
// beat; several threads can, by gathering lines into one system call). The
// machine's speed drifts by several times over seconds, so the three
// writers run one after the other inside each round, in an order that
// alternates from round to round, and only ratios taken inside a round
// count: the report gives each ratio's median over the rounds with its
// range, and the peers' own figures, which show the machine's phase.
//
// `logger_bench --only=<writer>:<threads>` (writer: qmcore, spdlog or bare)
// runs only that writer's file rounds and exits: the run to put under a
// profiler or a system-call count, which then sees one writer alone. It
// logs kRounds x threads x kLinesPerThread timed lines after one untimed
// warm-up round of one thread.
//
// The journal rounds: nanoseconds per entry of the logger's journal copy
// (option 0x40, the file off) against libsystemd's sd_journal_send with the
// same fields, both sending to the same socket in the same run, alternated
// per round. sd_journal_send knows no other socket than journald's, so
// without a journald the program moves into a mount namespace of its own
// with a private /run, where a receiver thread stands in for journald at
// /run/systemd/journal/socket (root only; the rounds are skipped
// otherwise). Entries the receiver did not get are reported beside.
//
// The callback part: lines per second through the callback sink (the whole
// write step: level test, lock, prefix, filters, callback) against the
// straightforward write step a logger without caches would run, and the
// cost of an entry dropped at the level test.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <krcore/logging.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#define SD_JOURNAL_SUPPRESS_LOCATION  // the same fields as ours: no CODE_*
#include <systemd/sd-journal.h>
#include <errno.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <filesystem>
#include <functional>
#include <latch>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using krCore::logger;

// ---------------------------------------------------------------------------
// The file rounds
// ---------------------------------------------------------------------------

// About 100 characters, as a typical line of the library.
const wchar_t kFileMessage[] =
    L"CommandScheduler::Run - work item [42] submitted to the pool after a delay of 250 ms, depth "
    L"[7]";
const char kNarrowMessage[] =
    "CommandScheduler::Run - work item [42] submitted to the pool after a delay of 250 ms, depth "
    "[7]";

constexpr int kRounds = 7;
constexpr int kLinesPerThread = 20000;

const std::filesystem::path& bench_dir() {
  static const std::filesystem::path dir = [] {
    const char* tmp = std::getenv("TMPDIR");
    const std::filesystem::path base = (tmp && *tmp) ? tmp : "/var/tmp";
    std::filesystem::path d = base / ("qmcore-logger-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(d);
    return d;
  }();
  return dir;
}

// Our line's size: the prefix "YYYY/MM/DD HH:MM:SS:mmm PID: pppp TID: ttttt
// [INFO] " is 43 characters besides the ids (at least 4 and 5 digits), then
// the message and CR LF, 2 bytes each.
std::size_t our_line_bytes() {
  const std::size_t pid = std::max<std::size_t>(4, std::to_string(getpid()).size());
  const std::size_t tid = std::max<std::size_t>(5, std::to_string(gettid()).size());
  return (43 + pid + tid + std::wcslen(kFileMessage) + 2) * 2;
}

enum writer { kOurs, kSpdlogFlushed, kBareWrite, kWriters };
const char* const kWriterNames[kWriters] = {"qmcore", "spdlog flushed", "bare write"};

struct file_peers {
  logger* ours = nullptr;
  std::shared_ptr<spdlog::logger> flushed;
  int bare = -1;
  std::string line;
};

file_peers open_peers() {
  file_peers p;
  p.ours = krCore::singleton<logger>::instance();
  const std::wstring base = (bench_dir() / "ours").wstring();
  // File only; 4000 MB: no rotation inside a measurement.
  p.ours->initialize(0x1, logger::log_normal, 4000, 10, base.c_str());
  p.flushed = spdlog::basic_logger_mt("flushed", (bench_dir() / "spd-flushed.txt").string());
  p.flushed->flush_on(spdlog::level::trace);
  p.bare = ::open((bench_dir() / "bare.txt").c_str(),
                  O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
  p.line.assign(our_line_bytes(), 'x');
  return p;
}

void close_peers(const file_peers& p) {
  logger::close();
  spdlog::drop_all();
  ::close(p.bare);
  std::error_code ignored;
  std::filesystem::remove_all(bench_dir(), ignored);
}

void log_lines(const file_peers& p, writer w) {
  switch (w) {
    case kOurs:
      for (int i = 0; i < kLinesPerThread; ++i) p.ours->log(logger::log_normal, kFileMessage);
      break;
    case kSpdlogFlushed:
      for (int i = 0; i < kLinesPerThread; ++i) p.flushed->info(kNarrowMessage);
      break;
    default:
      for (int i = 0; i < kLinesPerThread; ++i)
        benchmark::DoNotOptimize(::write(p.bare, p.line.data(), p.line.size()));
      break;
  }
}

// Nanoseconds per line, all threads' lines over the elapsed time. The
// threads start together at a latch, so their start-up is not timed.
double ns_per_line(const file_peers& p, writer w, int threads) {
  std::latch start(threads + 1);
  std::vector<std::thread> workers;
  workers.reserve(static_cast<std::size_t>(threads));
  for (int t = 0; t < threads; ++t)
    workers.emplace_back([&] {
      start.arrive_and_wait();
      log_lines(p, w);
    });
  start.arrive_and_wait();
  const auto begin = std::chrono::steady_clock::now();
  for (std::thread& t : workers) t.join();
  const std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - begin;
  return took.count() / (static_cast<double>(threads) * kLinesPerThread);
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n == 0 ? 0.0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

void print_ratio(const char* what, const std::vector<double>& per_round, const char* goal) {
  const auto [low, high] = std::minmax_element(per_round.begin(), per_round.end());
  std::printf("    %-34s median %.2fx (rounds %.2f-%.2fx)  goal %s\n", what, median(per_round),
              *low, *high, goal);
}

void run_file_rounds() {
  const file_peers peers = open_peers();
  // Lines for the file's head and the peers' first allocations, untimed.
  for (int w = 0; w < kWriters; ++w) (void)ns_per_line(peers, static_cast<writer>(w), 1);
  std::printf("file rounds: ns per line, %d lines per thread, writers alternated per round\n",
              kLinesPerThread);
  for (const int threads : {1, 2}) {
    std::vector<double> figures[kWriters];
    std::vector<double> spd_over_ours, ours_over_bare;
    for (int round = 0; round < kRounds; ++round) {
      double ns[kWriters];
      for (int i = 0; i < kWriters; ++i) {
        const int w = round % 2 == 0 ? i : kWriters - 1 - i;
        ns[w] = ns_per_line(peers, static_cast<writer>(w), threads);
        figures[w].push_back(ns[w]);
      }
      spd_over_ours.push_back(ns[kSpdlogFlushed] / ns[kOurs]);
      ours_over_bare.push_back(ns[kOurs] / ns[kBareWrite]);
      std::printf("  %d thread(s) round %d: %s %.0f, %s %.0f, %s %.0f\n", threads, round + 1,
                  kWriterNames[kOurs], ns[kOurs], kWriterNames[kSpdlogFlushed],
                  ns[kSpdlogFlushed], kWriterNames[kBareWrite], ns[kBareWrite]);
    }
    std::printf("  %d thread(s) medians: %s %.0f ns, %s %.0f ns, %s %.0f ns\n", threads,
                kWriterNames[kOurs], median(figures[kOurs]), kWriterNames[kSpdlogFlushed],
                median(figures[kSpdlogFlushed]), kWriterNames[kBareWrite],
                median(figures[kBareWrite]));
    print_ratio("spdlog flushed / qmcore", spd_over_ours, threads == 1 ? ">= 1.0x" : ">= 1.5x");
    print_ratio("qmcore / bare write", ours_over_bare, threads == 1 ? "<= 1.25x" : "-");
  }
  close_peers(peers);
}

// The two file formats against each other: the UTF-16 file and the UTF-8
// text file (option 0x20). Each round times 8 spells of kLinesPerThread
// lines, the formats taking turns spell by spell (each spell on a fresh
// logger and file, its head untimed), so a shift of the machine's pace
// inside a round falls on both alike. Goal: the text format costs no more
// per line.
void run_format_rounds() {
  constexpr int kSpells = 8;
  std::printf("format rounds: ns per line, 1 thread, %d spells of %d lines per round\n", kSpells,
              kLinesPerThread);
  std::vector<double> text_over_utf16;
  std::vector<double> figures[2];
  for (int round = 0; round < kRounds; ++round) {
    double ns[2] = {0, 0};
    for (int spell = 0; spell < kSpells; ++spell) {
      const int format = (spell + round) % 2;
      logger* log = krCore::singleton<logger>::instance();
      const std::wstring base = (bench_dir() / (format ? "text" : "utf16")).wstring();
      log->initialize(format ? 0x21 : 0x1, logger::log_normal, 4000, 10, base.c_str());
      file_peers p;
      p.ours = log;
      log->log(logger::log_normal, kFileMessage);  // the file's head, untimed
      ns[format] += ns_per_line(p, kOurs, 1) / (kSpells / 2);
      logger::close();
    }
    figures[0].push_back(ns[0]);
    figures[1].push_back(ns[1]);
    text_over_utf16.push_back(ns[1] / ns[0]);
  }
  std::printf("  medians: UTF-16 file %.0f ns, UTF-8 text file %.0f ns\n", median(figures[0]),
              median(figures[1]));
  print_ratio("UTF-8 text / UTF-16 file", text_over_utf16, "<= 1.0x");
  std::error_code ignored;
  std::filesystem::remove_all(bench_dir(), ignored);
}

// ---------------------------------------------------------------------------
// The journal rounds
// ---------------------------------------------------------------------------

const char kJournalSocket[] = "/run/systemd/journal/socket";

// Whether a journald listens; else, as root, a private /run where the
// receiver below can stand in for it. Must run before any thread starts (a
// mount namespace is per process here). Empty when ready, else why not.
std::string prepare_journal_socket() {
  struct stat st {};
  if (::stat(kJournalSocket, &st) == 0 && S_ISSOCK(st.st_mode)) return "journald";
  if (::unshare(CLONE_NEWNS) != 0) return std::string("unshare: ") + std::strerror(errno);
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      ::mount("bench-run", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "size=1m,mode=0755") != 0)
    return std::string("mount: ") + std::strerror(errno);
  ::mkdir("/run/systemd", 0755);
  ::mkdir("/run/systemd/journal", 0755);
  return "";
}

// Receives datagrams as fast as it can and counts them, until the one that
// says QUIT.
struct journal_receiver {
  int fd = -1;
  std::atomic<long> received{0};
  std::thread thread;

  bool start() {
    fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, kJournalSocket);
    const int size = 8 << 20;
    (void)::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return false;
    thread = std::thread([this] {
      std::vector<char> buffer(256 * 1024);
      for (;;) {
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n == 4 && std::memcmp(buffer.data(), "QUIT", 4) == 0) return;
        if (n >= 0) received.fetch_add(1, std::memory_order_release);
      }
    });
    return true;
  }
  // Sends a datagram of its own and returns the count once it came: every
  // entry sent before has arrived by then.
  long settled() {
    const int s = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, kJournalSocket);
    const long before = received.load(std::memory_order_acquire);
    (void)::sendto(s, "MARK", 4, 0, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::close(s);
    long now;
    while ((now = received.load(std::memory_order_acquire)) <= before) std::this_thread::yield();
    // The marker arrived after everything sent before it; it is not counted.
    received.fetch_sub(1, std::memory_order_acq_rel);
    return now - 1;
  }
  void stop() {
    const int s = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, kJournalSocket);
    (void)::sendto(s, "QUIT", 4, 0, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::close(s);
    thread.join();
    ::close(fd);
    ::unlink(kJournalSocket);
  }
};

// One round of one writer; ns per entry, `lost` gets the entries the
// receiver (when ours) did not get.
double journal_round(bool ours, journal_receiver* receiver, long& lost) {
  logger* log = krCore::singleton<logger>::instance();
  const long before = receiver ? receiver->settled() : 0;
  const std::string tid = std::to_string(gettid());
  const auto begin = std::chrono::steady_clock::now();
  long failed = 0;
  if (ours) {
    for (int i = 0; i < kLinesPerThread; ++i) log->log(logger::log_normal, kFileMessage);
  } else {
    for (int i = 0; i < kLinesPerThread; ++i)
      failed += sd_journal_send("MESSAGE=%s", kNarrowMessage, "PRIORITY=6",
                                "SYSLOG_IDENTIFIER=%s", program_invocation_short_name,
                                "TID=%s", tid.c_str(), nullptr) < 0;
  }
  const std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - begin;
  lost = receiver ? kLinesPerThread - (receiver->settled() - before) : failed;
  return took.count() / kLinesPerThread;
}

void run_journal_rounds(const std::string& setup) {
  if (!setup.empty() && setup != "journald") {
    std::printf("journal rounds: skipped (no journald and no private /run: %s)\n", setup.c_str());
    return;
  }
  journal_receiver receiver;
  const bool stand_in = setup.empty();
  if (stand_in && !receiver.start()) {
    std::printf("journal rounds: skipped (the stand-in socket: %s)\n", std::strerror(errno));
    return;
  }
  journal_receiver* counted = stand_in ? &receiver : nullptr;
  logger* log = krCore::singleton<logger>::instance();
  log->initialize(0x40, logger::log_normal, 4000, 10, (bench_dir() / "journal").wstring().c_str());
  std::printf("journal rounds: ns per entry, 1 thread, %d entries, to %s\n", kLinesPerThread,
              stand_in ? "a stand-in receiver (no journald here)" : "journald");
  long lost = 0;
  (void)journal_round(true, counted, lost);  // warm-up, untimed
  (void)journal_round(false, counted, lost);
  std::vector<double> peer_over_ours, figures[2];
  long lost_total[2] = {0, 0};
  for (int round = 0; round < kRounds; ++round) {
    double ns[2];
    for (int i = 0; i < 2; ++i) {
      const int w = round % 2 == 0 ? i : 1 - i;  // 0 ours, 1 sd_journal_send
      ns[w] = journal_round(w == 0, counted, lost);
      lost_total[w] += lost;
      figures[w].push_back(ns[w]);
    }
    peer_over_ours.push_back(ns[1] / ns[0]);
    std::printf("  round %d: qmcore %.0f, sd_journal_send %.0f\n", round + 1, ns[0], ns[1]);
  }
  std::printf("  medians: qmcore %.0f ns, sd_journal_send %.0f ns; entries not received: "
              "qmcore %ld, sd_journal_send %ld\n",
              median(figures[0]), median(figures[1]), lost_total[0], lost_total[1]);
  print_ratio("sd_journal_send / qmcore", peer_over_ours, ">= 1.0x");
  logger::close();
  if (stand_in) receiver.stop();
  std::error_code ignored;
  std::filesystem::remove_all(bench_dir(), ignored);
}

// The --only run: one writer's rounds, nothing else. Returns the exit code.
int run_one_writer(const char* spec) {
  const std::string text(spec);
  const std::size_t colon = text.find(':');
  const std::string name = text.substr(0, colon);
  const int threads = colon == std::string::npos
                          ? 1
                          : static_cast<int>(std::strtol(text.c_str() + colon + 1, nullptr, 10));
  const writer w = name == "qmcore"   ? kOurs
                   : name == "spdlog" ? kSpdlogFlushed
                   : name == "bare"   ? kBareWrite
                                      : kWriters;
  if (w == kWriters || threads < 1) {
    (void)std::fprintf(stderr, "--only=<qmcore|spdlog|bare>:<threads>, not [%s]\n", spec);
    return 2;
  }
  const file_peers peers = open_peers();
  (void)ns_per_line(peers, w, 1);
  std::vector<double> figures;
  figures.reserve(kRounds);
  for (int round = 0; round < kRounds; ++round) figures.push_back(ns_per_line(peers, w, threads));
  const auto [low, high] = std::minmax_element(figures.begin(), figures.end());
  std::printf("%s, %d thread(s): median %.0f ns per line (rounds %.0f-%.0f), %d timed lines\n",
              kWriterNames[w], threads, median(figures), *low, *high,
              kRounds * threads * kLinesPerThread);
  close_peers(peers);
  return 0;
}

// ---------------------------------------------------------------------------
// The callback part
// ---------------------------------------------------------------------------

const wchar_t kMessage[] = L"CommandScheduler::Run - work item [42] submitted to the pool";
std::atomic<long> g_sunk{0};

logger* started_logger() {
  logger* log = krCore::singleton<logger>::instance();
  static const bool once = [log] {
    log->set_write_message_func(
        [](const wchar_t*, logger::log_levels) { g_sunk.fetch_add(1, std::memory_order_relaxed); });
    log->initialize(0, logger::log_normal, 0, 0, L"/tmp/qmcore-logger-bench");
    return true;
  }();
  (void)once;
  return log;
}

void BM_Logger_CallbackSink(benchmark::State& state) {
  logger* log = started_logger();
  for (auto _ : state) log->log(logger::log_normal, kMessage);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Logger_CallbackSink)->Threads(1)->Threads(2)->UseRealTime();

// The peer write step.
struct naive_logger {
  std::mutex mutex;
  std::function<void(const wchar_t*, int)> sink;
  void log(int level, const wchar_t* message) {
    std::lock_guard<std::mutex> lock(mutex);
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    tm t;
    localtime_r(&ts.tv_sec, &t);
    wchar_t prefix[260];
    std::swprintf(prefix, 260, L"%02u/%02u/%02u %02u:%02u:%02u:%03u PID: %4ld TID: %5ld ",
                  t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                  unsigned(ts.tv_nsec / 1000000), long(getpid()), long(syscall(SYS_gettid)));
    std::wstring line = std::wstring(prefix) + L"[INFO] " + message + L"\r\n";
    benchmark::DoNotOptimize(line.data());
    sink(message, level);
  }
};

void BM_Naive_CallbackSink(benchmark::State& state) {
  static naive_logger naive{
      {}, [](const wchar_t*, int) { g_sunk.fetch_add(1, std::memory_order_relaxed); }};
  for (auto _ : state) naive.log(2, kMessage);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Naive_CallbackSink)->Threads(1)->Threads(2)->UseRealTime();

void BM_Logger_DroppedEntry(benchmark::State& state) {
  logger* log = started_logger();
  for (auto _ : state) log->log(logger::log_verbose, kMessage);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Logger_DroppedEntry)->Threads(1)->Threads(2)->UseRealTime();

// Prints the usual table, then lines per second and the ratios.
class ratio_reporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      auto it = run.counters.find("items_per_second");
      if (it != run.counters.end()) rates[run.benchmark_name()] = it->second.value;
    }
  }
  std::map<std::string, double> rates;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strncmp(argv[1], "--only=", 7) == 0) return run_one_writer(argv[1] + 7);
  // Before any thread: the journal rounds may need a mount namespace.
  const std::string journal_setup = prepare_journal_socket();
  benchmark::Initialize(&argc, argv);
  // The file rounds first: the callback part's logger replaces their
  // file-only one.
  run_file_rounds();
  run_format_rounds();
  run_journal_rounds(journal_setup);
  ratio_reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto rate = [&](const std::string& name) {
    auto it = reporter.rates.find(name);
    return it == reporter.rates.end() ? 0.0 : it->second;
  };
  std::printf("\nlines per second through the callback sink:\n");
  for (const char* threads : {"1", "2"}) {
    const double ours = rate(std::string("BM_Logger_CallbackSink/real_time/threads:") + threads);
    const double peer = rate(std::string("BM_Naive_CallbackSink/real_time/threads:") + threads);
    const double dropped = rate(std::string("BM_Logger_DroppedEntry/real_time/threads:") + threads);
    std::printf("  %s thread(s): logger %.0f lines/s, naive peer %.0f lines/s, ratio %.2fx\n",
                threads, ours, peer, peer > 0 ? ours / peer : 0.0);
    if (dropped > 0)
      std::printf("  %s thread(s): dropped entry %.2f ns (%.0fx cheaper than a written line)\n",
                  threads, 1e9 / dropped, ours > 0 ? dropped / ours : 0.0);
  }
  benchmark::Shutdown();
  return 0;
}

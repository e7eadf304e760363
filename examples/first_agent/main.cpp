// A first agent: logs as the machine's logging key says (and follows its
// changes live), runs a job every 2 seconds on the process-wide scheduler,
// and runs until SIGTERM or Ctrl-C, telling systemd when it is ready and
// feeding its watchdog while the job keeps running. `first_agent SECONDS`
// stops by itself after that long.
#include <krcore/krcore.h>
#include <krcore/service.h>

#include <atomic>
#include <cstdlib>
#include <memory>

using namespace krCore;

// The periodic job: one log line, then it schedules its next run.
class job : public threadwork, public std::enable_shared_from_this<job> {
 public:
  explicit job(ICommandScheduler& scheduler) : _scheduler(scheduler) {}
  void Execute() override {
    {
      basic_log_ostream<wchar_t> out(logger::log_normal);  // one entry, written at scope end
      out << L"first_agent - job run [" << ++_runs << L"]";
    }
    _scheduler.AddDelay(2.0, shared_from_this());
  }
  int runs() const { return _runs.load(); }

 private:
  ICommandScheduler& _scheduler;
  std::atomic<int> _runs{0};
};

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 0.0;
  service_host host;  // SIGTERM and SIGINT end the wait below

  logger& log = *singleton<logger>::instance();
  log.initialize(L"first_agent");  // HKLM\SOFTWARE\Vantrel\Logging decides
  LOG(std::wstring(L"first_agent - started"));

  ICommandScheduler& scheduler = singleton<ProcessServices>::instance()->CommandScheduler();
  scheduler.Start();
  auto work = std::make_shared<job>(scheduler);
  scheduler.AddDelay(0.0, work);

  // The watchdog is fed only while the job keeps running.
  int seen = -1;
  host.set_health_check([&] {
    const bool moved = work->runs() != seen;
    seen = work->runs();
    return moved;
  });
  host.ready("running");
  const int sig = host.wait_for_stop(seconds);
  host.stopping(sig ? "stopping on a signal" : "stopping");

  scheduler.Shutdown(5000);
  LOG(std::wstring(L"first_agent - stopped after ") + std::to_wstring(work->runs()) + L" runs");
  logger::close();
  return work->runs() > 0 ? 0 : 1;
}

// An outside program's own classes derived from each polymorphic class the
// library exports. Each derived class's vtable is emitted here and names
// every virtual member of its bases, so a virtual the library keeps to itself
// fails this program's link; the runs below check that the library calls the
// overrides and that the objects work as bases of outside classes.
#include <krcore/krcore.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>

namespace {

constexpr unsigned long kWaitMs = 60000;

int fail(const char* what) {
  std::fprintf(stderr, "derived: %s\n", what);
  return 1;
}

class counting_work : public krCore::threadwork {
 public:
  void Execute() override { ++runs; }
  std::atomic<int> runs{0};
};

// Runs one item on `pool` and waits for its completion.
bool runs_one_item(krCore::IThreadpool& pool) {
  const auto work = std::make_shared<counting_work>();
  pool.submitwork(std::shared_ptr<krCore::IThreadwork>(work));
  return ::WaitForSingleObject(work->GetCompleteHandle(), kWaitMs) == 0 && work->runs == 1;
}

class fixed_pool : public krCore::threadpool {
 public:
  fixed_pool() : krCore::threadpool(2, 16) {}
  ~fixed_pool() override { shutdown(kWaitMs); }
  std::atomic<int> started{0};

 protected:
  void thread_preexecute(int) override { ++started; }
};

class dynamic_pool : public krCore::ThreadpoolDynamic {
 public:
  dynamic_pool() : krCore::ThreadpoolDynamic(1, 2, 16) {}
  ~dynamic_pool() override { shutdown(kWaitMs); }
  std::atomic<int> started{0};

 protected:
  void thread_preexecute(threadinfo_t&) override { ++started; }
};

class worker : public krCore::EasyThreadImpl {
 public:
  ~worker() override { StopThread(kWaitMs); }
  krCore::manualresetevent began;

 protected:
  void OnStart() override { began.signal(); }
};

// A scheduler over a pool and a stopwatch of its own.
class own_scheduler : public krCore::CommandSchedulerImpl {
 public:
  own_scheduler() : _pool(2, 16) {}
  ~own_scheduler() override { ShutdownNoThrow(kWaitMs); }
  krCore::IThreadpool& Threadpool() override { return _pool; }
  const krCore::IStopwatch& Stopwatch() override { return _stopwatch; }

 protected:
  void StartStopwatch() override { _stopwatch.Start(); }
  void StopStopwatch() override { _stopwatch.Stop(); }

 private:
  krCore::threadpool _pool;
  krCore::BestResStopwatch _stopwatch;
};

class fixed_scheduler : public krCore::CommandSchedulerFixed {
 public:
  ~fixed_scheduler() override { ShutdownNoThrow(kWaitMs); }
};

class dynamic_scheduler : public krCore::CommandSchedulerDyn {
 public:
  dynamic_scheduler() : krCore::CommandSchedulerDyn(1, 2, 16) {}
  ~dynamic_scheduler() override { ShutdownNoThrow(kWaitMs); }
};

// Runs one command at once on `scheduler` and shuts it down.
bool runs_one_command(krCore::ICommandScheduler& scheduler) {
  if (scheduler.Start() == 0) return false;
  const auto work = std::make_shared<counting_work>();
  scheduler.AddDelay(0.0, std::shared_ptr<krCore::IThreadwork>(work));
  const bool ran =
      ::WaitForSingleObject(work->GetCompleteHandle(), kWaitMs) == 0 && work->runs == 1;
  return scheduler.Shutdown(kWaitMs) && ran;
}

class parsed_args : public krCore::CommandLineArgs {
 public:
  bool ParseCommandLine(int argc, wchar_t* const argv[]) override {
    seen = argc;
    return krCore::CommandLineArgs::ParseCommandLine(argc, argv);
  }
  int seen = -1;
};

class counted_event : public krCore::autoresetevent {
 public:
  void signal() override {
    ++signals;
    krCore::autoresetevent::signal();
  }
  int signals = 0;
};

class named_stopwatch : public krCore::ProcessStopwatch {};
class my_error : public krException {
 public:
  my_error() : krException(7L, "my_error", 4) {}
};
class my_w32_error : public w32_exception {
 public:
  my_w32_error() : w32_exception(5ul) {}
};
class my_fault : public se_translator::exception {
 public:
  bool is_continuable() const override { return false; }
};
class my_guard : public krCore::se_exception_initializer {};
class my_deletion : public krCore::DeletePathWork {
 public:
  my_deletion() : krCore::DeletePathWork(L"/nonexistent/qmcore-consumer") {}
};

}  // namespace

int check_derived_classes() {
  {
    fixed_pool pool;
    if (pool.start() != 2 || !runs_one_item(pool)) return fail("derived threadpool");
    // The thread that ran the item ran its hook first; the other may not
    // have reached it yet.
    if (pool.started < 1) return fail("threadpool hook not called");
  }
  {
    dynamic_pool pool;
    if (pool.start() != 1 || !runs_one_item(pool)) return fail("derived ThreadpoolDynamic");
    if (pool.started < 1) return fail("ThreadpoolDynamic hook not called");
  }
  {
    worker thread;
    if (thread.StartThread() != 1 || ::WaitForSingleObject(thread.began, kWaitMs) != 0)
      return fail("derived EasyThreadImpl");
  }
  {
    own_scheduler own;
    fixed_scheduler fixed;
    dynamic_scheduler dynamic;
    if (!runs_one_command(own) || !runs_one_command(fixed) || !runs_one_command(dynamic))
      return fail("derived schedulers");
  }
  {
    parsed_args args;
    wchar_t program[] = L"consumer";
    wchar_t level[] = L"level=3";
    wchar_t* argv[] = {program, level};
    if (!args.ParseCommandLine(2, argv) || args.seen != 2) return fail("derived CommandLineArgs");
    counted_event event;
    event.signal();
    if (event.signals != 1 || ::WaitForSingleObject(event, 0) != 0)
      return fail("derived event");
    named_stopwatch watch;
    my_guard guard;
    my_deletion deletion;
    deletion.Execute();
    const my_fault fault;
    if (fault.is_continuable()) return fail("derived se_translator::exception");
  }
  try {
    throw my_error();
  } catch (const krException& e) {
    if (e.code() != 7) return fail("derived krException");
  }
  try {
    throw my_w32_error();
  } catch (const w32_exception& e) {
    if (e.error_code() != 5) return fail("derived w32_exception");
  }
  return 0;
}

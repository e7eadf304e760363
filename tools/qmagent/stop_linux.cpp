// The agent's stop requests on Linux: SIGINT and SIGTERM, taken by the
// library's service_host, which also speaks to systemd when the agent runs
// as a Type=notify unit (readiness, status lines, the watchdog).
#include <krcore/exceptions.h>
#include <krcore/service.h>

#include <signal.h>

#include <cstdio>
#include <memory>

#include "stop.h"

namespace qmagent {

const char* const kStopRequests = "SIGINT or SIGTERM";

namespace {
std::unique_ptr<krCore::service_host> host;
}  // namespace

bool arm_stop_requests() {
  try {
    host = std::make_unique<krCore::service_host>();
    return true;
  } catch (const krException& e) {
    (void)std::fprintf(stderr, "qmagent: the stop signals cannot be caught: %s\n", e.what());
    return false;
  }
}

const char* wait_for_stop(double duration_s) {
  const int sig = host->wait_for_stop(duration_s);
  if (sig == 0) return "duration";
  return sig == SIGINT ? "SIGINT" : "SIGTERM";
}

void stopped() { host.reset(); }

void report_ready(const std::string& status) { (void)host->ready(status); }
void report_status(const std::string& status) { (void)host->status(status); }
void report_stopping(const std::string& status) { (void)host->stopping(status); }
void set_health_check(std::function<bool()> check) { host->set_health_check(std::move(check)); }

}  // namespace qmagent

// TickCountProvider: the process-wide 64-bit millisecond tick count, native
// where the clock table has one and emulated from the 32-bit count and the
// system clock where it has not.
#include <krcore/timing.h>

#include "time/clocks.h"
#include "logging/debug_output.h"
#include "time/filetime.h"

namespace krCore {

KRCORE_LIBRARY_SINGLETON_DEFINITION(TickCountProvider);
namespace {
constexpr unsigned long long kLargest32BitTick = 0xFFFFFFFFull;
}  // namespace

TickCountProvider::TickCountProvider() {
  _tickCount64 = detail::clocks().tick_count64;
  if (!_tickCount64) {
    detail::debug_output(
        L"TickCountProvider: GetTickCount64 is not available, using GetTickCount with "
        L"SystemTime compensation.");
    // Store the tick count before the system time: the emulation then never
    // starts ahead of the 32-bit count.
    const DWORD tick = detail::clocks().tick_count();
    ULARGE_INTEGER now;
    QuerySysTime(now);
    _tickCountAtCreation = tick;
    _sysTimeAtCreation = now.QuadPart;
  } else {
    detail::debug_output(L"TickCountProvider: GetTickCount64 is available.");
  }
}

TickCountProvider::~TickCountProvider() = default;

bool TickCountProvider::SystemHasTickCount64() const { return _tickCount64 != nullptr; }

unsigned long long TickCountProvider::GetTickCount64() const {
  if (_tickCount64) return _tickCount64();
  const unsigned long long emulated = ElapsedSysTime_ms() + _tickCountAtCreation;
  if (_ignoreGetTickCount.load(std::memory_order_relaxed) || emulated >= kLargest32BitTick)
    return emulated;
  // The 32-bit count is used only while it is above its value at creation,
  // i.e. has not wrapped since.
  const DWORD tick = detail::clocks().tick_count();
  return tick > _tickCountAtCreation ? tick : emulated;
}

void TickCountProvider::SetIgnoreGetTickCount(bool ignore) {
  _ignoreGetTickCount.store(ignore, std::memory_order_relaxed);
}

bool TickCountProvider::GetIgnoreGetTickCount() const {
  return _ignoreGetTickCount.load(std::memory_order_relaxed);
}

bool TickCountProvider::IsGetTickCountIgnored() const {
  if (_ignoreGetTickCount.load(std::memory_order_relaxed) || _tickCount64) return true;
  return ElapsedSysTime_ms() + _tickCountAtCreation >= kLargest32BitTick;
}

void TickCountProvider::QuerySysTime(ULARGE_INTEGER& now) {
  if (const unsigned long error = detail::query_system_time(now.QuadPart))
    throw krException(error, "TickCountProvider: SystemTimeToFileTime failed.", 4);
}

unsigned long long TickCountProvider::ElapsedSysTime_ms() const {
  ULARGE_INTEGER now;
  QuerySysTime(now);
  return (now.QuadPart - _sysTimeAtCreation) / detail::kFileTimeUnitsPerMs;
}

}  // namespace krCore

namespace krCore::detail {

namespace {
// Reaches the protected teardown of the singleton storage.
struct tick_count_provider_storage : singleton_base<TickCountProvider> {
  static void destroy() { destroy_instance(); }
};
}  // namespace

void reset_tick_count_provider() { tick_count_provider_storage::destroy(); }

}  // namespace krCore::detail

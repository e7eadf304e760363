// The usage counter with a done event, and its two scope holders.
//
// Only the transitions to 1 and to 0 take the lock; under it the counter is
// read again, so a racing increment and decrement around zero leave the done
// event matching the counter as it stands while the lock is held.
#include <krcore/foundation.h>

#include <utility>

namespace krCore {

AtomicCounter_t::AtomicCounter_t() = default;
AtomicCounter_t::~AtomicCounter_t() = default;

unsigned long AtomicCounter_t::Increment() {
  const unsigned long v = _counter.fetch_add(1, std::memory_order_acq_rel) + 1;
  if (v == 1) ResetDone(0);
  return v;
}

unsigned long AtomicCounter_t::Decrement() {
  const unsigned long v = _counter.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (v == 0) SignalDone(0);
  return v;
}

void AtomicCounter_t::SignalDone(long) {
  auto_lock lock(_cs);
  if (_counter.load(std::memory_order_acquire) == 0) _done.signal();
}

void AtomicCounter_t::ResetDone(long) {
  auto_lock lock(_cs);
  if (_counter.load(std::memory_order_acquire) != 0) _done.reset();
}

AutoAtomicCounter_t::AutoAtomicCounter_t(AtomicCounter_t& counter) : _counter(&counter) {
  _counter->Increment();
}
AutoAtomicCounter_t::AutoAtomicCounter_t(const AutoAtomicCounter_t& other)
    : _counter(other._counter) {
  _counter->Increment();
}
AutoAtomicCounter_t& AutoAtomicCounter_t::operator=(const AutoAtomicCounter_t& other) {
  if (this != &other) {
    _counter->Decrement();
    _counter = other._counter;
    _counter->Increment();
  }
  return *this;
}
AutoAtomicCounter_t::~AutoAtomicCounter_t() { _counter->Decrement(); }
void AutoAtomicCounter_t::swap(AutoAtomicCounter_t& other) { std::swap(_counter, other._counter); }
unsigned long AutoAtomicCounter_t::Counter() const { return _counter->Counter(); }

AutoAtomicCounter_r_t::AutoAtomicCounter_r_t(AtomicCounter_t& counter) : _counter(&counter) {
  _counter->Increment();
}
AutoAtomicCounter_r_t::AutoAtomicCounter_r_t(const AutoAtomicCounter_r_t& other)
    : _counter(other._counter) {
  if (_counter) _counter->Increment();
}
AutoAtomicCounter_r_t& AutoAtomicCounter_r_t::operator=(const AutoAtomicCounter_r_t& other) {
  if (this != &other) {
    release();
    _counter = other._counter;
    if (_counter) _counter->Increment();
  }
  return *this;
}
AutoAtomicCounter_r_t::~AutoAtomicCounter_r_t() { release(); }
void AutoAtomicCounter_r_t::release() {
  if (_counter) {
    _counter->Decrement();
    _counter = nullptr;
  }
}
void AutoAtomicCounter_r_t::swap(AutoAtomicCounter_r_t& other) {
  std::swap(_counter, other._counter);
}
unsigned long AutoAtomicCounter_r_t::Counter() const { return _counter ? _counter->Counter() : 0; }

}  // namespace krCore

// Process-wide instances: the non-copyable base, and singleton<T>, the
// lazily created single instance of a class with its lock.
#pragma once

#include <krcore/export.h>
#include <krcore/sync.h>

#include <atomic>

namespace krCore {

// Base of classes that must not be copied. No state, no locking, no errors.
class KRCORE_API noncopyable_base {
 public:
  noncopyable_base(const noncopyable_base&) = delete;
  noncopyable_base& operator=(const noncopyable_base&) = delete;

 protected:
  noncopyable_base() = default;
  ~noncopyable_base() = default;
};

// Storage of a process-wide instance: one pointer and one lock per type.
// The library and every program linking it share one `_instance` per T
// (see KRCORE_TEMPLATE_API). destroy_instance is
// thread-safe against instance() (both take the lock) and throws what T's
// destructor throws.
template <class T>
class KRCORE_TEMPLATE_API singleton_base {
 protected:
  singleton_base() = default;
  virtual ~singleton_base() = default;

  // Under `_cs`, swaps the instance out and deletes it; the next instance()
  // creates a fresh object. Singleton classes offer this as their close().
  static void destroy_instance() {
    auto_lock lock(_cs);
    T* old = _instance.exchange(nullptr);
    delete old;
  }

  static std::atomic<T*> _instance;
  static critical_section _cs;
};

template <class T>
std::atomic<T*> singleton_base<T>::_instance{nullptr};
template <class T>
critical_section singleton_base<T>::_cs;

// Lazily created process-wide instance of T (T derives from singleton<T>).
// instance() is thread-safe: concurrent first calls construct exactly one T.
// If T's constructor throws, the exception propagates and a later call tries
// again. close() must not race with users still holding the pointer.
template <class T>
class KRCORE_TEMPLATE_API singleton : public singleton_base<T> {
 public:
  singleton() = default;
  ~singleton() override = default;

// The constant pointer is the documented signature; GCC warns that the
// qualifier has no effect on a returned value.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wignored-qualifiers"
  static T* const instance() {
    T* p = singleton_base<T>::_instance.load(std::memory_order_acquire);
    if (p) return p;
    auto_lock lock(singleton_base<T>::_cs);
    p = singleton_base<T>::_instance.load(std::memory_order_relaxed);
    if (!p) {
      p = new T();
      singleton_base<T>::_instance.exchange(p, std::memory_order_acq_rel);
    }
    return p;
  }
#pragma GCC diagnostic pop
};

}  // namespace krCore

// Declares, before the library's own class T is defined, that singleton<T>'s
// storage is instantiated in the library: on Windows a program then
// imports the one `_instance` and `_cs` of the DLL instead of making its
// own. The library defines them with KRCORE_LIBRARY_SINGLETON_DEFINITION(T)
// in T's source file (the declaration's attribute carries over). On Linux
// the shared storage needs no declaration.
#if defined(_WIN32)
#define KRCORE_LIBRARY_SINGLETON(T)                                  \
  extern template class KRCORE_API ::krCore::singleton_base<T>; \
  static_assert(true, "each module makes instance() over the imported storage")
#define KRCORE_LIBRARY_SINGLETON_DEFINITION(T) \
  template class ::krCore::singleton_base<T>;   \
  template class ::krCore::singleton<T>
#else
#define KRCORE_LIBRARY_SINGLETON(T) static_assert(true)
#define KRCORE_LIBRARY_SINGLETON_DEFINITION(T) static_assert(true)
#endif

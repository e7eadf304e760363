// Internal: the compiler's attributes and its thread-end unwinding, in one
// place, so that the rest of the library is written in standard C++ and a
// second compiler changes only this file.
#pragma once

#include <cxxabi.h>

// Thread-locals reached on hot paths: the initial-exec model takes no call
// into the dynamic linker per access.
#define KRCORE_TLS_INITIAL_EXEC __attribute__((tls_model("initial-exec")))

// A pointer the loader calls at start-up, before main or while the library
// is loaded, with the process's argc, argv and envp (a C library that passes
// them, as glibc does).
#define KRCORE_START_UP_CALL __attribute__((section(".init_array"), used))

// A function whose frame must stay a frame of its own (stack walks count it).
#define KRCORE_NOINLINE __attribute__((noinline))

// Keeps the calling frame from becoming a tail call.
#define KRCORE_KEEP_FRAME() asm volatile("" ::: "memory")

// Functions whose catch clauses the sanitizer's null-reference check must
// not inspect: the unwinding of an ending thread carries no C++ object.
#define KRCORE_NO_SANITIZE_UNDEFINED __attribute__((no_sanitize("undefined")))
#define KRCORE_NO_SANITIZE_NULL __attribute__((no_sanitize("null")))

// The unwinding that ends a thread (pthread_exit, cancellation) is not an
// exception to analyse: it must pass, or the runtime aborts the process.
// Written before a `catch (...)` of the same try block.
#define KRCORE_PASS_THREAD_END \
  catch (abi::__forced_unwind&) { throw; }

// A hint to the processor to fetch the cache line at `address` for reading.
#if defined(__GNUC__)
#define KRCORE_PREFETCH(address) __builtin_prefetch(address)
#else
#define KRCORE_PREFETCH(address) ((void)(address))
#endif

// A hint to the processor that the caller is spinning.
#if defined(__x86_64__) || defined(__i386__)
#define KRCORE_CPU_RELAX() __builtin_ia32_pause()
#elif defined(__aarch64__)
#define KRCORE_CPU_RELAX() asm volatile("yield")
#else
#define KRCORE_CPU_RELAX() ((void)0)
#endif

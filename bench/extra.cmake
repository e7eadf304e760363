# fault_bench: the faulting read must be unwound from the faulting instruction.
target_compile_options(fault_bench PRIVATE -fnon-call-exceptions)
# threadpool_bench: boost::asio::thread_pool as the peer is header-only and
# needs the thread library only.
target_link_libraries(threadpool_bench PRIVATE Threads::Threads)
# logger_bench: spdlog is the peer the log file writer is measured against.
find_package(spdlog REQUIRED)
target_link_libraries(logger_bench PRIVATE spdlog::spdlog)
# ... and libsystemd's sd_journal_send the peer of the journal copy.
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBSYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
target_link_libraries(logger_bench PRIVATE PkgConfig::LIBSYSTEMD)
# scheduler_bench: boost::asio::steady_timer as the peer is header-only and
# needs the thread library only.
target_link_libraries(scheduler_bench PRIVATE Threads::Threads)
# protection_bench: the bare OpenSSL GCM round trip is the peer.
find_package(OpenSSL 3.0 REQUIRED COMPONENTS Crypto)
target_link_libraries(protection_bench PRIVATE OpenSSL::Crypto)
# proc_bench: procps' libproc2 is the peer of the process listing.
find_library(KRCORE_BENCH_LIBPROC2 proc2 REQUIRED)
target_link_libraries(proc_bench PRIVATE ${KRCORE_BENCH_LIBPROC2})
# signature_bench: OpenSSL's SHA-256 is the floor; the signed file is the
# one the signature tests make.
find_package(OpenSSL 3 REQUIRED COMPONENTS Crypto)
target_link_libraries(signature_bench PRIVATE OpenSSL::Crypto)
target_compile_definitions(signature_bench PRIVATE
  SIGNATURE_BENCH_FIXTURES="${CMAKE_BINARY_DIR}/tests/signatures/fixtures")
# thread_bench links the library's objects; the thread it ends by force
# spins in a module of its own, outside the library's module, as a thread of
# a program that links libqmcore.so does in its own code.
add_library(bench_spin SHARED ${CMAKE_CURRENT_SOURCE_DIR}/spin_module.cpp)
target_link_libraries(thread_bench PRIVATE bench_spin)

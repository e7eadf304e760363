// Times a subject against its peer in alternated rounds: each round runs
// both once, back to back, the order swapped every round, so that whatever
// load the machine carries at that moment falls on both. The figures are
// medians, the peer's own absolute time is printed beside every ratio, and
// the ratio is also given per phase: the machine runs in fast and slow
// phases several times apart, and a ratio means something only against the
// peer measured in the same moment.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

struct paired_figures {
  double subject_ms = 0, peer_ms = 0;  // medians over all rounds
  double ratio = 0;                    // median of the rounds' own ratios
  // Each run judged alone, as the machine's phases (and the processor a
  // run lands on) change faster than a round: the runs within 1.5 times
  // their own kind's fastest are the fast phase, the others the slow one;
  // the ratios are of the medians within each phase.
  double fast_ratio = 0, fast_subject_ms = 0, fast_peer_ms = 0;
  double slow_ratio = 0, slow_subject_ms = 0, slow_peer_ms = 0;
  std::size_t fast_subject_runs = 0, fast_peer_runs = 0;
};

inline double elapsed_ms(const std::function<void()>& run) {
  const auto start = std::chrono::steady_clock::now();
  run();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

inline double median_of(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

inline paired_figures run_paired(int rounds, const std::function<void()>& subject,
                                 const std::function<void()>& peer) {
  struct round {
    double subject, peer;
  };
  std::vector<round> all;
  for (int i = 0; i < rounds; ++i) {
    round r{};
    if (i % 2 == 0) {
      r.subject = elapsed_ms(subject);
      r.peer = elapsed_ms(peer);
    } else {
      r.peer = elapsed_ms(peer);
      r.subject = elapsed_ms(subject);
    }
    all.push_back(r);
  }
  paired_figures f;
  std::vector<double> subjects, peers, ratios;
  for (const round& r : all) {
    subjects.push_back(r.subject);
    peers.push_back(r.peer);
    ratios.push_back(r.subject / r.peer);
  }
  f.subject_ms = median_of(subjects);
  f.peer_ms = median_of(peers);
  f.ratio = median_of(ratios);
  const auto split = [](const std::vector<double>& runs, double& fast_ms, double& slow_ms) {
    const double fastest = *std::min_element(runs.begin(), runs.end());
    std::vector<double> fast, slow;
    for (double ms : runs) (ms < 1.5 * fastest ? fast : slow).push_back(ms);
    fast_ms = median_of(fast);
    slow_ms = median_of(slow);
    return fast.size();
  };
  f.fast_subject_runs = split(subjects, f.fast_subject_ms, f.slow_subject_ms);
  f.fast_peer_runs = split(peers, f.fast_peer_ms, f.slow_peer_ms);
  f.fast_ratio = f.fast_subject_ms / f.fast_peer_ms;
  if (f.slow_subject_ms > 0 && f.slow_peer_ms > 0) f.slow_ratio = f.slow_subject_ms / f.slow_peer_ms;
  return f;
}

inline void print_paired(const std::string& subject, const std::string& peer,
                         const paired_figures& f) {
  std::printf("%s %.3f ms / %s %.3f ms = %.2f (median of the rounds' ratios)\n", subject.c_str(),
              f.subject_ms, peer.c_str(), f.peer_ms, f.ratio);
  std::printf("  fast phase: %.3f ms (%zu runs) / %s %.3f ms (%zu runs) = %.2f\n",
              f.fast_subject_ms, f.fast_subject_runs, peer.c_str(), f.fast_peer_ms,
              f.fast_peer_runs, f.fast_ratio);
  if (f.slow_ratio > 0)
    std::printf("  slow phase: %.3f ms / %s %.3f ms = %.2f\n", f.slow_subject_ms, peer.c_str(),
                f.slow_peer_ms, f.slow_ratio);
}

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
  // The third of the rounds that took least time in all (both runs), and
  // the third that took most: the machine's fast and slow phases.
  double fast_ratio = 0, fast_peer_ms = 0;
  double slow_ratio = 0, slow_peer_ms = 0;
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
  const auto figures_of = [](const std::vector<round>& part, double& ratio, double& peer_ms) {
    std::vector<double> ratios, peers;
    for (const round& r : part) {
      ratios.push_back(r.subject / r.peer);
      peers.push_back(r.peer);
    }
    ratio = median_of(ratios);
    peer_ms = median_of(peers);
  };
  paired_figures f;
  std::vector<double> subjects;
  for (const round& r : all) subjects.push_back(r.subject);
  f.subject_ms = median_of(subjects);
  figures_of(all, f.ratio, f.peer_ms);
  std::sort(all.begin(), all.end(), [](const round& a, const round& b) {
    return a.subject + a.peer < b.subject + b.peer;
  });
  const std::size_t third = std::max<std::size_t>(1, all.size() / 3);
  figures_of({all.begin(), all.begin() + third}, f.fast_ratio, f.fast_peer_ms);
  figures_of({all.end() - third, all.end()}, f.slow_ratio, f.slow_peer_ms);
  return f;
}

inline void print_paired(const std::string& subject, const std::string& peer,
                         const paired_figures& f) {
  std::printf("%s %.3f ms / %s %.3f ms = %.2f (median of the rounds' ratios)\n", subject.c_str(),
              f.subject_ms, peer.c_str(), f.peer_ms, f.ratio);
  std::printf("  fast phase: %.2f against %s %.3f ms; slow phase: %.2f against %s %.3f ms\n",
              f.fast_ratio, peer.c_str(), f.fast_peer_ms, f.slow_ratio, peer.c_str(),
              f.slow_peer_ms);
}

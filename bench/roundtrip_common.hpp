// What the round-trip benchmarks share: the library's side of the exchange, the measures and
// the report. Each benchmark brings its own peer and raw client.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "parley/parley.hpp"

namespace bench {

using Clock = std::chrono::steady_clock;

// A tool of the build: `env` when set, else `name` in the build's tools folder.
inline std::string Beside(const char* env, const char* name) {
  if (const char* v = std::getenv(env)) return v;
  auto self = std::filesystem::read_symlink("/proc/self/exe").parent_path();
  return (self.parent_path() / "tools" / name).string();
}

// The calling thread's own CPU time, so the peers' threads do not count.
inline double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

struct Result {
  std::vector<double> micros;
  double cpu_seconds = 0;
};

inline double MicrosSince(Clock::time_point start) {
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// `count` transactions "MEAS?", whose answer the peers give as "1.2345".
inline void LibraryBlock(parley::KORInterface& iface, int count, Result& r) {
  parley::KORTransaction t;
  t.cmd("MEAS?");
  t.RespTimeout(parley::korShort);
  double cpu = ThreadCpuSeconds();
  for (int i = 0; i < count; ++i) {
    auto start = Clock::now();
    iface.Transact(t);
    r.micros.push_back(MicrosSince(start));
    if (t.resp() != "1.2345") {
      std::fprintf(stderr, "wrong response \"%s\"\n", t.resp().c_str());
      std::exit(1);
    }
  }
  r.cpu_seconds += ThreadCpuSeconds() - cpu;
}

inline double Percentile(std::vector<double> v, double q) {
  std::sort(v.begin(), v.end());
  auto i = static_cast<std::size_t>(q * static_cast<double>(v.size() - 1) + 0.5);
  return v[i];
}

inline void Report(const char* name, const Result& r) {
  std::printf("%-8s median %8.1f us   p90 %8.1f us   cpu %8.1f us/transaction\n", name,
              Percentile(r.micros, 0.5), Percentile(r.micros, 0.9),
              r.cpu_seconds * 1e6 / static_cast<double>(r.micros.size()));
}

inline void ReportBoth(const Result& raw, const Result& lib) {
  Report("raw", raw);
  Report("parley", lib);
  std::printf("ratio parley/raw: median %.2f, p90 %.2f, cpu %.2f\n",
              Percentile(lib.micros, 0.5) / Percentile(raw.micros, 0.5),
              Percentile(lib.micros, 0.9) / Percentile(raw.micros, 0.9),
              lib.cpu_seconds / raw.cpu_seconds);
}

// Measures both clients: one unmeasured library transaction first (it opens or connects),
// then `raw_block(n, result)` and the library's block by turns, ten blocks each; then reports.
template <class RawBlock>
void CompareWithRaw(int count, parley::KORInterface& iface, RawBlock raw_block) {
  Result raw;
  Result lib;
  LibraryBlock(iface, 1, lib);
  lib = Result();
  constexpr int kBlocks = 10;
  for (int b = 0; b < kBlocks; ++b) {
    int n = count / kBlocks + (b < count % kBlocks ? 1 : 0);
    raw_block(n, raw);
    LibraryBlock(iface, n, lib);
  }
  ReportBoth(raw, lib);
}

// One transaction "SLOW?" on an open interface, with the CPU it used while waiting.
inline void ReportSlowAnswer(parley::KORInterface& iface) {
  parley::KORTransaction slow;
  slow.cmd("SLOW?");
  slow.RespTimeout(parley::korShort);
  double cpu = ThreadCpuSeconds();
  auto start = Clock::now();
  iface.Transact(slow);
  double wall = std::chrono::duration<double>(Clock::now() - start).count();
  double used = ThreadCpuSeconds() - cpu;
  std::printf("waiting %.2f s for a slow answer: cpu %.4f s = %.3f%% of a core\n", wall, used,
              100.0 * used / wall);
}

}  // namespace bench

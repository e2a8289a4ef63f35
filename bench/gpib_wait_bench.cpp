// The direct-GPIB wait loop on the real clock: how often it polls the instrument while it waits
// for a reply, and what that costs in CPU. The loop blocks about 1 ms per pass on the event loop
// instead of spinning, so CPU use should stay a small fraction of one core.
//
// usage: gpib_wait_bench [seconds-to-wait, default 2] [repetitions, default 3]
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "parley/parley.hpp"

namespace {
double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}
}  // namespace

int main(int argc, char** argv) {
  double delay = argc > 1 ? std::atof(argv[1]) : 2.0;
  int repetitions = argc > 2 ? std::atoi(argv[2]) : 3;
  parley::SimulatedGpibBus bus;
  auto dev = bus.AddInstrument(1);
  dev.Reply("MEAS?", "1.0");
  parley::UseSimulatedGpibBus(bus);

  parley::KORInterface i;
  i.commMode(parley::korCommModeGPIBDirect);
  i.openPort();
  parley::KORTransaction t;
  t.cmd("MEAS?");
  i.Transact(t);  // opens board and device (1 s settle), not measured
  dev.ResponseDelay(delay);
  std::printf("wait for a reply due after %.2f s, %d runs\n", delay, repetitions);
  for (int r = 0; r < repetitions; ++r) {
    bus.ClearCalls();
    auto start = std::chrono::steady_clock::now();
    double cpu = CpuSeconds();
    i.Transact(t);
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    cpu = CpuSeconds() - cpu;
    int polls = 0;
    for (const auto& c : bus.Calls()) polls += c.name == "ibrsp" ? 1 : 0;
    std::printf("run %d: %.3f s wall, %.1f ms CPU (%.2f%% of a core), %d polls (%.0f per s)\n",
                r + 1, wall, cpu * 1e3, 100 * cpu / wall, polls, polls / wall);
  }
  i.GPIBClose();
  return 0;
}

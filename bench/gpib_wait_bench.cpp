// The direct-GPIB wait loop on the real clock: how often it calls the driver while it waits for
// a reply, and what that costs in CPU. Polling blocks about 1 ms per pass on the event loop
// instead of spinning; with UseSRQ the driver's own wait for service request blocks a few
// hundred milliseconds at a time, so the wait should wake only a few times a second.
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

int Count(const parley::SimulatedGpibBus& bus, const char* name) {
  int n = 0;
  for (const auto& c : bus.Calls()) n += c.name == name ? 1 : 0;
  return n;
}

void Measure(bool use_srq, double delay, int repetitions) {
  parley::SimulatedGpibBus bus;
  auto dev = bus.AddInstrument(1);
  dev.Reply("MEAS?", "1.0");
  dev.StatusBits(0x02, 0x10);
  parley::UseSimulatedGpibBus(bus);

  parley::KORInterface i;
  i.commMode(parley::korCommModeGPIBDirect);
  i.MAVSPoll(16);
  i.UseSRQ(use_srq);
  i.DelayGPIBTrans(false);
  i.openPort();
  parley::KORTransaction t;
  t.cmd("MEAS?");
  i.Transact(t);  // opens board and device (1 s settle) and sends the SRE prefix, not measured
  dev.ResponseDelay(delay);
  std::printf("%s: wait for a reply due after %.2f s, %d runs\n",
              use_srq ? "UseSRQ (wait for service request)" : "polling", delay, repetitions);
  for (int r = 0; r < repetitions; ++r) {
    bus.ClearCalls();
    t.cmd("MEAS?");
    auto start = std::chrono::steady_clock::now();
    double cpu = CpuSeconds();
    i.Transact(t);
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    cpu = CpuSeconds() - cpu;
    int calls = Count(bus, "ibrsp") + Count(bus, "ibwait");
    std::printf(
        "  run %d: %.3f s wall, %.1f ms CPU (%.3f%% of a core), %d polls and waits "
        "(%.1f per s)\n",
        r + 1, wall, cpu * 1e3, 100 * cpu / wall, calls, calls / wall);
  }
  i.GPIBClose();
}
}  // namespace

int main(int argc, char** argv) {
  double delay = argc > 1 ? std::atof(argv[1]) : 2.0;
  int repetitions = argc > 2 ? std::atoi(argv[2]) : 3;
  Measure(false, delay, repetitions);
  Measure(true, delay, repetitions);
  return 0;
}

// anchor_client: the library's client for the shared anchor benchmark, called as its raw C
// clients are, so that Parley's rows stand in the same table as theirs:
//
//   anchor_client HOST PORT N CMD EXPECT WARMUP WARMUP_CMD    Ethernet (mode 5)
//   anchor_client DEVICE N CMD EXPECT WARMUP WARMUP_CMD       serial (mode 2); DEVICE is a path
//
// Runs WARMUP untimed transactions with WARMUP_CMD (they open the port or make the connection
// and take the greeting), then N timed ones with CMD, each through the public Transact with a
// 10 s response timeout. Prints "CPU_US <user+sys us over the N>", "NVCSW <voluntary context
// switches over the N>" and one "RTT_NS <ns>" per timed transaction; exits 0 only if every
// response equalled EXPECT (1 for a failed transaction, 2 for a wrong answer, 64 for usage).
//
// The serial device is reached through the port-number map (port 1 -> DEVICE) at 115200,n,8,1.
// The program is alone on the device, so the in-process connection manager is used unless
// PARLEY_CONNECTION_MANAGER chooses another.
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <string>
#include <vector>

#include "parley/parley.hpp"

namespace {

struct Options {
  bool serial = false;
  std::string target;  // host or device path
  std::string port;    // TCP port
  long count = 0;
  std::string cmd;
  std::string expect;
  long warmup = 0;
  std::string warmup_cmd;
};

long long NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

long long CpuUs(const rusage& r) {
  return (static_cast<long long>(r.ru_utime.tv_sec) + r.ru_stime.tv_sec) * 1000000LL +
         r.ru_utime.tv_usec + r.ru_stime.tv_usec;
}

bool Parse(int argc, char** argv, Options& o) {
  if (argc < 2) return false;
  o.serial = argv[1][0] == '/';
  int first = o.serial ? 2 : 3;  // index of N
  if (argc < first + 3 || argc > first + 5) return false;
  o.target = argv[1];
  if (!o.serial) o.port = argv[2];
  o.count = std::atol(argv[first]);
  o.cmd = argv[first + 1];
  o.expect = argv[first + 2];
  o.warmup = argc > first + 3 ? std::atol(argv[first + 3]) : 0;
  o.warmup_cmd = argc > first + 4 ? argv[first + 4] : o.cmd;
  return o.count >= 1 && o.count <= 1000000 && o.warmup >= 0 && o.warmup <= 1000000;
}

void Configure(parley::KORInterface& iface, const Options& o) {
  if (o.serial) {
    if (!std::getenv("PARLEY_CONNECTION_MANAGER")) {
      parley::UseConnectionManager([] { return parley::MakeInProcessConnectionManager(); });
    }
    parley::MapSerialPort(1, o.target);
    iface.commMode(parley::korCommModeCRLFDirect);
    iface.CommPort(1);
    iface.BitRate(115200);
    iface.Parity(parley::korParityNone);
    iface.DataBits(8);
    iface.StopBits(1);
  } else {
    iface.commMode(parley::korCommModeEther);
    iface.RemoteHostIpAddress(o.target);
    iface.RemotePortNumber(o.port);
  }
  iface.openPort();
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!Parse(argc, argv, o)) {
    std::fprintf(stderr,
                 "usage: %s HOST PORT N CMD EXPECT [WARMUP [WARMUP_CMD]]\n"
                 "       %s DEVICE N CMD EXPECT [WARMUP [WARMUP_CMD]]\n",
                 argv[0], argv[0]);
    return 64;
  }
  std::vector<long long> rtt(static_cast<std::size_t>(o.count));
  rusage r0{};
  rusage r1{};
  long i = -o.warmup;
  try {
    parley::KORInterface iface;
    Configure(iface, o);
    parley::KORTransaction t;
    t.RespTimeout(parley::korShort);
    for (; i < o.count; ++i) {
      if (i == 0) getrusage(RUSAGE_SELF, &r0);
      t.cmd(i < 0 ? o.warmup_cmd : o.cmd);
      long long start = NowNs();
      iface.Transact(t);
      long long end = NowNs();
      if (t.resp() != o.expect) {
        std::fprintf(stderr, "anchor_client: transaction %ld: answer \"%s\", expected \"%s\"\n", i,
                     t.resp().c_str(), o.expect.c_str());
        return 2;
      }
      if (i >= 0) rtt[static_cast<std::size_t>(i)] = end - start;
    }
    getrusage(RUSAGE_SELF, &r1);
    iface.closePort();
  } catch (const parley::AutomationError& e) {
    std::fprintf(stderr, "anchor_client: transaction %ld: error 0x%08X: %s (%s)\n", i,
                 static_cast<unsigned>(e.Number()), e.Description().c_str(), e.Source().c_str());
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "anchor_client: %s\n", e.what());
    return 1;
  }
  std::printf("CPU_US %lld\nNVCSW %ld\n", CpuUs(r1) - CpuUs(r0), r1.ru_nvcsw - r0.ru_nvcsw);
  for (long long ns : rtt) std::printf("RTT_NS %lld\n", ns);
  return 0;
}

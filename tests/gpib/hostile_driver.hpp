// A driver that lies: it forwards every call to the simulated bus, then reports what a test
// scripts instead of the truth (read counts, status and error words, bytes it never
// delivered) or blocks a read for as long as it likes, whatever its timeout says. Installed as
// the process's driver in place of the bus.
#pragma once

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "gpib/driver/gpib_selection.hpp"
#include "gpib/driver/gpib_sim.hpp"
#include "host/host.hpp"

namespace parley::testing {

class HostileGpibDriver : public detail::GpibDriver {
 public:
  explicit HostileGpibDriver(const SimulatedGpibBus& bus)
      : inner_(detail::SimBusAccess::MakeDriver(bus)) {}

  // --- what the next reads do (each applies to every read until changed) ---------------------
  std::optional<int32_t> read_count;  // ibcntl reported after a read
  std::optional<int32_t> read_ibsta;  // status word reported after a read
  std::optional<int32_t> read_iberr;
  std::string read_bytes;         // written at the buffer's start instead of the real data
  double read_block_seconds = 0;  // the read blocks this long on the caller's clock
  bool refuse_ibconfig = false;   // ibconfig answers ERR with ECAP and changes nothing
  int honest_reads = 0;           // the first reads are reported truthfully

  int32_t RegisterGpibGlobalsForThread() override { return inner_->RegisterGpibGlobalsForThread(); }
  void UnregisterGpibGlobalsForThread() override { inner_->UnregisterGpibGlobalsForThread(); }
  detail::DriverCall ibfind(const std::string& name) override { return inner_->ibfind(name); }
  detail::DriverCall ibconfig(int32_t ud, int32_t option, int32_t value) override {
    if (!refuse_ibconfig) return inner_->ibconfig(ud, option, value);
    return {detail::kIbstaErr, detail::kIbstaErr, 11 /* ECAP */, 0};
  }
  detail::DriverCall ibdev(int32_t b, int32_t pad, int32_t sad, int32_t tmo, int32_t eot,
                           int32_t eos) override {
    return inner_->ibdev(b, pad, sad, tmo, eot, eos);
  }
  detail::DriverCall ibclr(int32_t ud) override { return inner_->ibclr(ud); }
  detail::DriverCall ibonl(int32_t ud, int32_t online) override {
    return inner_->ibonl(ud, online);
  }
  detail::DriverCall ibwrt(int32_t ud, const char* data, int32_t count) override {
    return inner_->ibwrt(ud, data, count);
  }
  detail::DriverCall ibrd(int32_t ud, char* buffer, int32_t count) override {
    ++reads;
    if (read_block_seconds > 0) {
      detail::CurrentHost().Sleep(detail::Micros(static_cast<int64_t>(read_block_seconds * 1e6)));
    }
    if (reads <= honest_reads) return inner_->ibrd(ud, buffer, count);
    detail::DriverCall r;
    if (read_bytes.empty()) {
      r = inner_->ibrd(ud, buffer, count);
    } else {  // the instrument's data goes nowhere; only `read_bytes` reach the buffer
      std::string scratch(static_cast<std::size_t>(std::max(count, 0)), '\0');
      r = inner_->ibrd(ud, scratch.data(), count);
      std::memcpy(buffer, read_bytes.data(),
                  std::min<std::size_t>(read_bytes.size(), static_cast<std::size_t>(count)));
    }
    if (read_count) r.ibcntl = *read_count;
    if (read_iberr) r.iberr = *read_iberr;
    if (read_ibsta) {
      r.ibsta = *read_ibsta;
      r.result = *read_ibsta;
    }
    return r;
  }
  detail::DriverCall ibrsp(int32_t ud, char* status_byte) override {
    return inner_->ibrsp(ud, status_byte);
  }
  detail::DriverCall ibsre(int32_t ud, int32_t value) override { return inner_->ibsre(ud, value); }
  detail::DriverCall ibwait(int32_t ud, int32_t mask) override { return inner_->ibwait(ud, mask); }

  int reads = 0;

 private:
  std::shared_ptr<detail::SimulatedGpibDriver> inner_;
};

}  // namespace parley::testing

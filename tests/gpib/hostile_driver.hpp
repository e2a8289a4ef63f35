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

  int32_t RegisterGpibGlobalsForThread(int32_t* ibsta, int32_t* iberr, int32_t* ibcnt,
                                       int32_t* ibcntl) override {
    outer_ = {ibsta, iberr, ibcnt, ibcntl};
    return inner_->RegisterGpibGlobalsForThread(&mine_[0], &mine_[1], &mine_[2], &mine_[3]);
  }
  void UnregisterGpibGlobalsForThread() override { inner_->UnregisterGpibGlobalsForThread(); }
  int32_t ibfind(const std::string& name) override { return Pass(inner_->ibfind(name)); }
  int32_t ibconfig(int32_t ud, int32_t option, int32_t value) override {
    if (!refuse_ibconfig) return Pass(inner_->ibconfig(ud, option, value));
    mine_[0] = detail::kIbstaErr;
    mine_[1] = 11;  // ECAP
    return Pass(detail::kIbstaErr);
  }
  int32_t ibdev(int32_t b, int32_t pad, int32_t sad, int32_t tmo, int32_t eot,
                int32_t eos) override {
    return Pass(inner_->ibdev(b, pad, sad, tmo, eot, eos));
  }
  int32_t ibclr(int32_t ud) override { return Pass(inner_->ibclr(ud)); }
  int32_t ibonl(int32_t ud, int32_t online) override { return Pass(inner_->ibonl(ud, online)); }
  int32_t ibwrt(int32_t ud, const char* data, int32_t count) override {
    return Pass(inner_->ibwrt(ud, data, count));
  }
  int32_t ibrd(int32_t ud, char* buffer, int32_t count) override {
    ++reads;
    if (read_block_seconds > 0) {
      detail::CurrentHost().Sleep(detail::Micros(static_cast<int64_t>(read_block_seconds * 1e6)));
    }
    if (reads <= honest_reads) return Pass(inner_->ibrd(ud, buffer, count));
    int32_t r = 0;
    if (read_bytes.empty()) {
      r = inner_->ibrd(ud, buffer, count);
    } else {  // the instrument's data goes nowhere; only `read_bytes` reach the buffer
      std::string scratch(static_cast<std::size_t>(std::max(count, 0)), '\0');
      r = inner_->ibrd(ud, scratch.data(), count);
      std::memcpy(buffer, read_bytes.data(),
                  std::min<std::size_t>(read_bytes.size(), static_cast<std::size_t>(count)));
    }
    if (read_count) mine_[3] = *read_count;
    if (read_iberr) mine_[1] = *read_iberr;
    if (read_ibsta) {
      mine_[0] = *read_ibsta;
      r = *read_ibsta;
    }
    return Pass(r);
  }
  int32_t ibrsp(int32_t ud, char* status_byte) override {
    return Pass(inner_->ibrsp(ud, status_byte));
  }
  int32_t ibsre(int32_t ud, int32_t value) override { return Pass(inner_->ibsre(ud, value)); }
  int32_t ibwait(int32_t ud, int32_t mask) override { return Pass(inner_->ibwait(ud, mask)); }

  int reads = 0;

 private:
  int32_t Pass(int32_t result) {
    for (int k = 0; k < 4; ++k) {
      if (outer_[k]) *outer_[k] = mine_[k];
    }
    return result;
  }

  std::shared_ptr<detail::SimulatedGpibDriver> inner_;
  int32_t mine_[4] = {0, 0, 0, 0};
  std::array<int32_t*, 4> outer_{};
};

}  // namespace parley::testing

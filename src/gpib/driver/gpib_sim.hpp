// The simulated GPIB bus as a driver (the public SimulatedGpibBus scripts it).
#pragma once

#include <memory>
#include <optional>

#include "gpib/driver/gpib_driver.hpp"
#include "parley/gpib.hpp"

namespace parley::detail {

class SimulatedGpibDriver : public GpibDriver {
 public:
  explicit SimulatedGpibDriver(std::shared_ptr<SimBusState> bus) : bus_(std::move(bus)) {}

  int32_t RegisterGpibGlobalsForThread() override;
  void UnregisterGpibGlobalsForThread() override;
  DriverCall ibfind(const std::string& name) override;
  DriverCall ibconfig(int32_t ud, int32_t option, int32_t value) override;
  DriverCall ibdev(int32_t board_index, int32_t pad, int32_t sad, int32_t tmo, int32_t eot,
                   int32_t eos) override;
  DriverCall ibclr(int32_t ud) override;
  DriverCall ibonl(int32_t ud, int32_t online) override;
  DriverCall ibwrt(int32_t ud, const char* data, int32_t count) override;
  DriverCall ibrd(int32_t ud, char* buffer, int32_t count) override;
  DriverCall ibrsp(int32_t ud, char* status_byte) override;
  DriverCall ibsre(int32_t ud, int32_t value) override;
  DriverCall ibwait(int32_t ud, int32_t mask) override;
  DriverCall ibln(int32_t ud, int32_t pad, int16_t* listener) override;

 private:
  static DriverCall Done(int32_t result, int32_t ibsta, int32_t iberr = 0, int32_t count = 0);
  // Both are called with the bus locked.
  bool BoardServiceRequest(double now) const;
  std::optional<double> NextServiceRequestIn(double now) const;

  std::shared_ptr<SimBusState> bus_;
};

struct SimBusAccess {
  static std::shared_ptr<SimulatedGpibDriver> MakeDriver(const SimulatedGpibBus& bus) {
    return std::make_shared<SimulatedGpibDriver>(bus.state_);
  }
};

}  // namespace parley::detail

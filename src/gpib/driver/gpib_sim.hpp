// The simulated GPIB bus as a driver (the public SimulatedGpibBus scripts it).
#pragma once

#include <memory>

#include "gpib/driver/gpib_driver.hpp"
#include "parley/gpib.hpp"

namespace parley::detail {

class SimulatedGpibDriver : public GpibDriver {
 public:
  explicit SimulatedGpibDriver(std::shared_ptr<SimBusState> bus) : bus_(std::move(bus)) {}

  int32_t RegisterGpibGlobalsForThread(int32_t* ibsta, int32_t* iberr, int32_t* ibcnt,
                                       int32_t* ibcntl) override;
  void UnregisterGpibGlobalsForThread() override;
  int32_t ibfind(const std::string& name) override;
  int32_t ibconfig(int32_t ud, int32_t option, int32_t value) override;
  int32_t ibdev(int32_t board_index, int32_t pad, int32_t sad, int32_t tmo, int32_t eot,
                int32_t eos) override;
  int32_t ibclr(int32_t ud) override;
  int32_t ibonl(int32_t ud, int32_t online) override;
  int32_t ibwrt(int32_t ud, const char* data, int32_t count) override;
  int32_t ibrd(int32_t ud, char* buffer, int32_t count) override;
  int32_t ibrsp(int32_t ud, char* status_byte) override;
  int32_t ibsre(int32_t ud, int32_t value) override;
  int32_t ibwait(int32_t ud, int32_t mask) override;

  // The calling thread's status of its last call, for a stand-in of the system library that
  // reports status through functions rather than registered variables.
  GpibCallStatus ThreadStatus() const { return registry_.Last(); }

 private:
  int32_t Done(int32_t result, int32_t ibsta, int32_t iberr = 0, int32_t count = 0);

  std::shared_ptr<SimBusState> bus_;
  ThreadStatusRegistry registry_;
};

struct SimBusAccess {
  static std::shared_ptr<SimulatedGpibDriver> MakeDriver(const SimulatedGpibBus& bus) {
    return std::make_shared<SimulatedGpibDriver>(bus.state_);
  }
};

}  // namespace parley::detail

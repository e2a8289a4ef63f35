#include "gpib/driver/gpib_sim.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <stdexcept>

#include "host/host.hpp"

namespace parley::detail {
namespace {
constexpr int32_t kBoardDescriptor = 0;
constexpr int32_t kFirstDevice = 16;
constexpr uint8_t kRqs = 0x40;

// Device timeout codes T10us..T1000s in seconds; code 0 (no timeout) is taken as the longest.
double TimeoutSeconds(int32_t code) {
  static constexpr double kSeconds[] = {1000, 10e-6, 30e-6, 100e-6, 300e-6, 1e-3,
                                        3e-3, 10e-3, 30e-3, 0.1,    0.3,    1,
                                        3,    10,    30,    100,    300,    1000};
  if (code < 0 || code > 17) return 1000;
  return kSeconds[code];
}

// Clock of the calling thread (a test's virtual clock); differences survive one midnight.
double Now() { return CurrentHost().SecondsSinceMidnight(); }
double Since(double then, double now) { return now >= then ? now - then : now + 86400 - then; }

std::string Quoted(const char* data, int32_t count) {
  return "\"" + std::string(data, data + (count > 0 ? count : 0)) + "\"";
}
}  // namespace

struct SimReply {
  std::string text;
  std::size_t read = 0;
  double written_at = 0;
  double delay = 0;
  bool polled = false;  // a serial poll has seen its service request

  bool Ready(double now) const { return Since(written_at, now) >= delay; }
  double DueIn(double now) const { return delay - Since(written_at, now); }
};

using SimHandler = std::function<std::optional<std::string>(const std::string&)>;

// What a written command leads to: a reply from the table, or a handler to ask (unlocked).
struct SimAnswer {
  std::optional<std::string> reply;
  std::shared_ptr<const SimHandler> handler;
  std::string command;
};

struct SimInstrumentState {
  std::map<std::string, std::string> replies;
  // Shared so that a handler being called keeps living when OnCommand replaces it meanwhile.
  std::shared_ptr<const SimHandler> handler;
  double delay = 0;
  bool busy = false;
  uint8_t idle_bits = 0x02;
  uint8_t mav_bits = 0x04;
  int32_t sre = 0;
  std::deque<SimReply> output;
  std::vector<std::string> received;

  bool ReplyReady(double now) const { return !output.empty() && output.front().Ready(now); }
  bool RequestingService(double now) const {
    uint8_t bits = (busy ? 0 : idle_bits) | (ReplyReady(now) ? mav_bits : 0);
    return ReplyReady(now) && !output.front().polled && (sre & bits) != 0;
  }
  uint8_t StatusByte(double now) const {
    uint8_t bits = (busy ? 0 : idle_bits) | (ReplyReady(now) ? mav_bits : 0);
    return bits | (RequestingService(now) ? kRqs : 0);
  }
  // Seconds until this instrument would request service, if it is going to without a poll.
  std::optional<double> ServiceRequestDueIn(double now) const {
    if (output.empty() || output.front().polled) return std::nullopt;
    if ((sre & ((busy ? 0 : idle_bits) | mav_bits)) == 0) return std::nullopt;
    return std::max(0.0, output.front().DueIn(now));
  }
  SimAnswer TakeCommand(std::string command);
  void QueueAnswer(std::string reply, double written_at) {
    output.push_back({std::move(reply), 0, written_at, delay, false});
  }
};

struct SimDescriptor {
  int32_t pad = 0;
  int32_t tmo = 13;
  bool online = true;
};

struct SimInjection {
  int32_t iberr = 0;
  int times = 0;
};

struct SimBusState {
  mutable std::mutex mutex;
  std::map<int, SimInstrumentState> instruments;
  std::map<int32_t, SimDescriptor> devices;
  int32_t next_device = kFirstDevice;
  std::deque<GpibCall> calls;  // at most SimulatedGpibBus::kMaxLoggedCalls
  std::map<std::string, SimInjection> injections;
  std::deque<int32_t> registration_results;
  bool board_online = false;
  bool ren = false;
  int32_t board_tmo = 13;  // the board's own I/O timeout code (T10s until configured)

  void Log(const std::string& name, std::string text) {
    if (calls.size() >= SimulatedGpibBus::kMaxLoggedCalls) calls.pop_front();
    calls.push_back({name, std::move(text), std::this_thread::get_id(), Now()});
  }
  // The injected error for this call of `name`, if any (consumes one use).
  std::optional<int32_t> Injected(const std::string& name) {
    auto it = injections.find(name);
    if (it == injections.end() || it->second.times == 0) return std::nullopt;
    if (it->second.times > 0) --it->second.times;
    return it->second.iberr;
  }
  SimDescriptor* Device(int32_t ud) {
    auto it = devices.find(ud);
    return it != devices.end() && it->second.online ? &it->second : nullptr;
  }
  SimInstrumentState* InstrumentAt(int pad) {
    auto it = instruments.find(pad);
    return it == instruments.end() ? nullptr : &it->second;
  }
};

// "*SRE n;" parts set the service-request enable; "*RST" resets it and the output queue.
SimAnswer SimInstrumentState::TakeCommand(std::string command) {
  received.push_back(command);
  while (command.rfind("*SRE ", 0) == 0) {
    auto end = command.find(';');
    sre = std::atoi(command.substr(5, end == std::string::npos ? end : end - 5).c_str());
    command = end == std::string::npos ? "" : command.substr(end + 1);
  }
  if (command.find("*RST") != std::string::npos) {
    sre = 0;
    output.clear();
  }
  while (!command.empty() && (command.back() == '\n' || command.back() == '\r')) command.pop_back();
  if (command.empty()) return {};
  if (handler) return {std::nullopt, handler, std::move(command)};
  if (auto it = replies.find(command); it != replies.end()) return {it->second, nullptr, {}};
  return {};
}

// --- the driver --------------------------------------------------------------------------------

DriverCall SimulatedGpibDriver::Done(int32_t result, int32_t ibsta, int32_t iberr, int32_t count) {
  return {result, ibsta, iberr, count};
}

int32_t SimulatedGpibDriver::RegisterGpibGlobalsForThread() {
  std::lock_guard lock(bus_->mutex);
  bus_->Log("RegisterGpibGlobalsForThread", "RegisterGpibGlobalsForThread()");
  int32_t rc = 0;
  if (!bus_->registration_results.empty()) {
    rc = bus_->registration_results.front();
    bus_->registration_results.pop_front();
  }
  return rc;
}

void SimulatedGpibDriver::UnregisterGpibGlobalsForThread() {
  std::lock_guard lock(bus_->mutex);
  bus_->Log("UnregisterGpibGlobalsForThread", "UnregisterGpibGlobalsForThread()");
}

DriverCall SimulatedGpibDriver::ibfind(const std::string& name) {
  std::lock_guard lock(bus_->mutex);
  bus_->Log("ibfind", "ibfind(\"" + name + "\")");
  if (auto e = bus_->Injected("ibfind")) return Done(-1, kIbstaErr, *e);
  if (name != "GPIB0") return Done(-1, kIbstaErr, kEdvr);
  bus_->board_online = true;
  return Done(kBoardDescriptor, kIbstaCmpl | kIbstaCic);
}

DriverCall SimulatedGpibDriver::ibconfig(int32_t ud, int32_t option, int32_t value) {
  std::lock_guard lock(bus_->mutex);
  bus_->Log("ibconfig", "ibconfig(" + std::to_string(ud) + ", " + std::to_string(option) + ", " +
                            std::to_string(value) + ")");
  if (auto e = bus_->Injected("ibconfig")) return Done(kIbstaErr, kIbstaErr, *e);
  if (ud != kBoardDescriptor && !bus_->Device(ud)) return Done(kIbstaErr, kIbstaErr, kEdvr);
  if (option == kIbcTmo) {
    if (value < 0 || value > 17) return Done(kIbstaErr, kIbstaErr, kEarg);
    (ud == kBoardDescriptor ? bus_->board_tmo : bus_->Device(ud)->tmo) = value;
  }
  return Done(kIbstaCmpl, kIbstaCmpl);
}

DriverCall SimulatedGpibDriver::ibdev(int32_t board_index, int32_t pad, int32_t sad, int32_t tmo,
                                      int32_t eot, int32_t eos) {
  std::lock_guard lock(bus_->mutex);
  bus_->Log("ibdev", "ibdev(" + std::to_string(board_index) + ", " + std::to_string(pad) + ", " +
                         std::to_string(sad) + ", " + std::to_string(tmo) + ", " +
                         std::to_string(eot) + ", " + std::to_string(eos) + ")");
  if (auto e = bus_->Injected("ibdev")) return Done(-1, kIbstaErr, *e);
  if (board_index != 0 || pad < 0 || pad > 30 || tmo < 0 || tmo > 17) {
    return Done(-1, kIbstaErr, kEarg);
  }
  int32_t ud = bus_->next_device++;
  bus_->devices[ud] = {pad, tmo, true};
  return Done(ud, kIbstaCmpl);
}

DriverCall SimulatedGpibDriver::ibclr(int32_t ud) {
  std::lock_guard lock(bus_->mutex);
  bus_->Log("ibclr", "ibclr(" + std::to_string(ud) + ")");
  if (auto e = bus_->Injected("ibclr")) return Done(kIbstaErr, kIbstaErr, *e);
  auto* device = bus_->Device(ud);
  if (!device) return Done(kIbstaErr, kIbstaErr, ud == kBoardDescriptor ? kEarg : kEdvr);
  auto* instrument = bus_->InstrumentAt(device->pad);
  if (!instrument) return Done(kIbstaErr, kIbstaErr, kEnol);
  instrument->output.clear();
  return Done(kIbstaCmpl, kIbstaCmpl);
}

DriverCall SimulatedGpibDriver::ibonl(int32_t ud, int32_t online) {
  std::lock_guard lock(bus_->mutex);
  bus_->Log("ibonl", "ibonl(" + std::to_string(ud) + ", " + std::to_string(online) + ")");
  if (auto e = bus_->Injected("ibonl")) return Done(kIbstaErr, kIbstaErr, *e);
  if (ud == kBoardDescriptor) {
    bus_->board_online = online != 0;
    return Done(kIbstaCmpl, kIbstaCmpl | kIbstaCic);
  }
  auto* device = bus_->Device(ud);
  if (!device) return Done(kIbstaErr, kIbstaErr, kEdvr);
  if (online == 0) device->online = false;
  return Done(kIbstaCmpl, kIbstaCmpl);
}

DriverCall SimulatedGpibDriver::ibwrt(int32_t ud, const char* data, int32_t count) {
  std::unique_lock lock(bus_->mutex);
  bus_->Log("ibwrt", "ibwrt(" + std::to_string(ud) + ", " + Quoted(data, count) + ", " +
                         std::to_string(count) + ")");
  if (auto e = bus_->Injected("ibwrt")) return Done(kIbstaErr, kIbstaErr, *e);
  auto* device = bus_->Device(ud);
  if (!device) return Done(kIbstaErr, kIbstaErr, ud == kBoardDescriptor ? kEadr : kEdvr);
  auto* instrument = bus_->InstrumentAt(device->pad);
  if (!instrument) return Done(kIbstaErr, kIbstaErr, kEnol);  // nobody listens
  int pad = device->pad;
  double now = Now();
  SimAnswer answer = instrument->TakeCommand(std::string(data, data + (count > 0 ? count : 0)));
  if (answer.handler) {
    // The handler is the caller's code and may call back into the bus: it runs unlocked, and
    // the instrument is looked up again afterwards.
    lock.unlock();
    answer.reply = (*answer.handler)(answer.command);
    lock.lock();
    instrument = bus_->InstrumentAt(pad);
  }
  if (answer.reply && instrument) instrument->QueueAnswer(std::move(*answer.reply), now);
  return Done(kIbstaCmpl, kIbstaCmpl, 0, count);
}

DriverCall SimulatedGpibDriver::ibrd(int32_t ud, char* buffer, int32_t count) {
  std::unique_lock lock(bus_->mutex);
  bus_->Log("ibrd", "ibrd(" + std::to_string(ud) + ", " + std::to_string(count) + ")");
  if (auto e = bus_->Injected("ibrd")) return Done(kIbstaErr, kIbstaErr, *e);
  auto* device = bus_->Device(ud);
  if (!device) return Done(kIbstaErr, kIbstaErr, ud == kBoardDescriptor ? kEadr : kEdvr);
  int pad = device->pad;
  double timeout = TimeoutSeconds(device->tmo);
  // The driver blocks: for a reply due within the device timeout, or for the whole timeout.
  double now = Now();
  auto* instrument = bus_->InstrumentAt(pad);
  double wait = timeout;
  if (instrument && !instrument->output.empty()) {
    double due = instrument->output.front().DueIn(now);
    if (due <= timeout) wait = due > 0 ? due : 0;
  }
  if (wait > 0) {
    lock.unlock();
    CurrentHost().Sleep(Micros(static_cast<int64_t>(std::ceil(wait * 1e6))));
    lock.lock();
    now = Now();
    instrument = bus_->InstrumentAt(pad);
  }
  if (!instrument || !instrument->ReplyReady(now)) {
    return Done(kIbstaErr, kIbstaErr | kIbstaTimo, kEabo);
  }
  SimReply& reply = instrument->output.front();
  std::size_t left = reply.text.size() - reply.read;
  std::size_t n = count > 0 ? std::min<std::size_t>(left, static_cast<std::size_t>(count)) : 0;
  std::memcpy(buffer, reply.text.data() + reply.read, n);
  reply.read += n;
  int32_t ibsta = kIbstaCmpl;
  if (reply.read == reply.text.size()) {
    instrument->output.pop_front();
    ibsta |= kIbstaEnd;
  }
  return Done(ibsta, ibsta, 0, static_cast<int32_t>(n));
}

DriverCall SimulatedGpibDriver::ibrsp(int32_t ud, char* status_byte) {
  std::unique_lock lock(bus_->mutex);
  bus_->Log("ibrsp", "ibrsp(" + std::to_string(ud) + ")");
  if (auto e = bus_->Injected("ibrsp")) return Done(kIbstaErr, kIbstaErr, *e);
  auto* device = bus_->Device(ud);
  if (!device) return Done(kIbstaErr, kIbstaErr, ud == kBoardDescriptor ? kEarg : kEdvr);
  auto* instrument = bus_->InstrumentAt(device->pad);
  if (!instrument) {  // nobody answers the poll: the driver gives up after the device timeout
    double timeout = TimeoutSeconds(device->tmo);
    lock.unlock();
    CurrentHost().Sleep(Micros(static_cast<int64_t>(std::ceil(timeout * 1e6))));
    return Done(kIbstaErr, kIbstaErr | kIbstaTimo, kEabo);
  }
  double now = Now();
  *status_byte = static_cast<char>(instrument->StatusByte(now));
  if (instrument->RequestingService(now)) instrument->output.front().polled = true;
  return Done(kIbstaCmpl, kIbstaCmpl, 0, 1);
}

// An instrument of the bus listens at its address.
DriverCall SimulatedGpibDriver::ibln(int32_t ud, int32_t pad, int16_t* listener) {
  std::lock_guard lock(bus_->mutex);
  bus_->Log("ibln", "ibln(" + std::to_string(ud) + ", " + std::to_string(pad) + ", 0)");
  if (auto e = bus_->Injected("ibln")) return Done(kIbstaErr, kIbstaErr, *e);
  if (ud != kBoardDescriptor) return Done(kIbstaErr, kIbstaErr, kEarg);
  *listener = bus_->InstrumentAt(pad) ? 1 : 0;
  return Done(kIbstaCmpl, kIbstaCmpl);
}

DriverCall SimulatedGpibDriver::ibsre(int32_t ud, int32_t value) {
  std::lock_guard lock(bus_->mutex);
  bus_->Log("ibsre", "ibsre(" + std::to_string(ud) + ", " + std::to_string(value) + ")");
  if (auto e = bus_->Injected("ibsre")) return Done(kIbstaErr, kIbstaErr, *e);
  if (ud != kBoardDescriptor) return Done(kIbstaErr, kIbstaErr, kEarg);
  bus_->ren = value != 0;
  return Done(kIbstaCmpl | kIbstaCic, kIbstaCmpl | kIbstaCic);
}

// Mask 0 answers at once with the current status. A board wait for SRQI blocks, as the driver
// does, until a device requests service or (with TIMO in the mask) the board's timeout ends.
DriverCall SimulatedGpibDriver::ibwait(int32_t ud, int32_t mask) {
  std::unique_lock lock(bus_->mutex);
  bus_->Log("ibwait", "ibwait(" + std::to_string(ud) + ", " + std::to_string(mask) + ")");
  if (auto e = bus_->Injected("ibwait")) return Done(kIbstaErr, kIbstaErr, *e);
  if (ud == kBoardDescriptor) {
    bool timed_out = false;
    if ((mask & kIbstaSrqi) && !BoardServiceRequest(Now())) {
      double limit = TimeoutSeconds((mask & kIbstaTimo) ? bus_->board_tmo : 0);
      double wait = std::min(limit, NextServiceRequestIn(Now()).value_or(limit));
      lock.unlock();
      CurrentHost().Sleep(Micros(static_cast<int64_t>(std::ceil(wait * 1e6))));
      lock.lock();
      timed_out = wait >= limit;
    }
    bool srq = BoardServiceRequest(Now());
    int32_t ibsta =
        kIbstaCmpl | kIbstaCic | (srq ? kIbstaSrqi : 0) | (!srq && timed_out ? kIbstaTimo : 0);
    return Done(ibsta, ibsta);
  }
  auto* device = bus_->Device(ud);
  if (!device) return Done(kIbstaErr, kIbstaErr, kEdvr);
  auto* instrument = bus_->InstrumentAt(device->pad);
  bool rqs = instrument && instrument->RequestingService(Now());
  int32_t ibsta = kIbstaCmpl | (rqs ? kIbstaRqs : 0);
  return Done(ibsta, ibsta);
}

bool SimulatedGpibDriver::BoardServiceRequest(double now) const {
  for (const auto& [pad, instrument] : bus_->instruments) {
    if (instrument.RequestingService(now)) return true;
  }
  return false;
}

std::optional<double> SimulatedGpibDriver::NextServiceRequestIn(double now) const {
  std::optional<double> soonest;
  for (const auto& [pad, instrument] : bus_->instruments) {
    auto due = instrument.ServiceRequestDueIn(now);
    if (due && (!soonest || *due < *soonest)) soonest = due;
  }
  return soonest;
}

}  // namespace parley::detail

// --- the public bus and instruments -----------------------------------------------------------
namespace parley {

using detail::SimInstrumentState;

namespace {
template <class F>
auto WithInstrument(detail::SimBusState& bus, int address, F&& f) {
  std::lock_guard lock(bus.mutex);
  return f(bus.instruments.at(address));
}
}  // namespace

SimulatedGpibBus::SimulatedGpibBus() : state_(std::make_shared<detail::SimBusState>()) {}

SimulatedInstrument SimulatedGpibBus::AddInstrument(int address) {
  if (address < 0 || address > 30) throw std::out_of_range("GPIB primary address 0..30");
  std::lock_guard lock(state_->mutex);
  state_->instruments[address];
  return SimulatedInstrument(state_, address);
}

void SimulatedGpibBus::InjectError(const std::string& call, int32_t iberr, int times) {
  std::lock_guard lock(state_->mutex);
  state_->injections[call] = {iberr, times};
}

void SimulatedGpibBus::ClearInjectedErrors() {
  std::lock_guard lock(state_->mutex);
  state_->injections.clear();
}

void SimulatedGpibBus::QueueRegistrationResult(int32_t rc) {
  std::lock_guard lock(state_->mutex);
  state_->registration_results.push_back(rc);
}

std::vector<GpibCall> SimulatedGpibBus::Calls() const {
  std::lock_guard lock(state_->mutex);
  return {state_->calls.begin(), state_->calls.end()};
}

std::vector<std::string> SimulatedGpibBus::CallNames(bool with_registration) const {
  std::vector<std::string> names;
  for (const auto& call : Calls()) {
    if (with_registration || call.name.find("GpibGlobals") == std::string::npos) {
      names.push_back(call.name);
    }
  }
  return names;
}

void SimulatedGpibBus::ClearCalls() {
  std::lock_guard lock(state_->mutex);
  state_->calls.clear();
}

bool SimulatedGpibBus::BoardOnline() const {
  std::lock_guard lock(state_->mutex);
  return state_->board_online;
}

int SimulatedGpibBus::OnlineDevices() const {
  std::lock_guard lock(state_->mutex);
  int n = 0;
  for (const auto& [ud, device] : state_->devices) n += device.online ? 1 : 0;
  return n;
}

bool SimulatedGpibBus::RemoteEnableAsserted() const {
  std::lock_guard lock(state_->mutex);
  return state_->ren;
}

void SimulatedInstrument::Reply(const std::string& command, std::string reply) {
  WithInstrument(*bus_, address_,
                 [&](SimInstrumentState& s) { s.replies[command] = std::move(reply); });
}

void SimulatedInstrument::OnCommand(
    std::function<std::optional<std::string>(const std::string&)> handler) {
  auto shared = handler ? std::make_shared<const detail::SimHandler>(std::move(handler)) : nullptr;
  WithInstrument(*bus_, address_, [&](SimInstrumentState& s) { s.handler = std::move(shared); });
}

void SimulatedInstrument::ResponseDelay(double seconds) {
  WithInstrument(*bus_, address_, [&](SimInstrumentState& s) { s.delay = seconds; });
}

void SimulatedInstrument::Busy(bool busy) {
  WithInstrument(*bus_, address_, [&](SimInstrumentState& s) { s.busy = busy; });
}

void SimulatedInstrument::StatusBits(uint8_t idle, uint8_t message_available) {
  WithInstrument(*bus_, address_, [&](SimInstrumentState& s) {
    s.idle_bits = idle;
    s.mav_bits = message_available;
  });
}

void SimulatedInstrument::QueueReply(std::string reply) {
  WithInstrument(*bus_, address_, [&](SimInstrumentState& s) {
    s.output.push_back({std::move(reply), 0, detail::Now(), 0, false});
  });
}

void SimulatedInstrument::DiscardOutput() {
  WithInstrument(*bus_, address_, [&](SimInstrumentState& s) { s.output.clear(); });
}

uint8_t SimulatedInstrument::StatusByte() const {
  return WithInstrument(*bus_, address_,
                        [&](SimInstrumentState& s) { return s.StatusByte(detail::Now()); });
}

std::vector<std::string> SimulatedInstrument::Received() const {
  return WithInstrument(*bus_, address_, [&](SimInstrumentState& s) { return s.received; });
}

std::string SimulatedInstrument::Unread() const {
  return WithInstrument(*bus_, address_, [&](SimInstrumentState& s) {
    std::string text;
    for (const auto& r : s.output) text += r.text.substr(r.read);
    return text;
  });
}

int32_t SimulatedInstrument::ServiceRequestEnable() const {
  return WithInstrument(*bus_, address_, [&](SimInstrumentState& s) { return s.sre; });
}

}  // namespace parley

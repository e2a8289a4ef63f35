#include "support/sim_tcp_client.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "parley/errors.hpp"

namespace parley::detail {

class SimTcpClient : public TcpClient {
 public:
  explicit SimTcpClient(std::shared_ptr<SimTcpUnit> unit) : unit_(std::move(unit)) {}
  ~SimTcpClient() override { Close(); }

  void RemoteHost(const std::string& host) override { remote_host_ = host; }
  void LocalPort(int32_t) override {}
  void RemotePort(int32_t port) override { remote_port_ = port; }
  int32_t State() const override { return state_; }
  void Connect() override {
    if (state_ != kTcpClosed) NotInState();
    state_ = kTcpConnecting;
    unit_->Attempt(*this, remote_host_, remote_port_);
  }
  void Write(std::string_view bytes) override {
    if (state_ != kTcpConnected) NotInState();
    if (unit_->reading && unit_->queue_.empty()) return unit_->Received(bytes);
    if (bytes.size() > kMaxUnsent - std::min(unit_->unsent, kMaxUnsent)) {
      throw AutomationError(err::Overflow, "TcpClient", "Send queue full.");
    }
    unit_->queue_.emplace_back(bytes);
    unit_->unsent += bytes.size();
    unit_->most_unsent = std::max(unit_->most_unsent, unit_->unsent);
  }
  std::size_t Unsent() const override { return unit_->client_ == this ? unit_->unsent : 0; }
  void Reset() override {
    ++unit_->resets;
    Close();
  }
  // The scripted unit's bytes arrive as events of the virtual loop: the caller's pass of the
  // loop delivers them.
  bool DiscardReceived() override { return true; }
  std::size_t Available() const override { return received_.size(); }
  std::string TakeReceived() override { return std::exchange(received_, {}); }
  void Close() override {
    state_ = kTcpClosed;
    received_.clear();
    if (unit_->client_ == this) unit_->Drop();
  }

  // --- called by the unit ------------------------------------------------------------------
  void Connected() {
    state_ = kTcpConnected;
    if (!OnConnect) return;
    auto handler = OnConnect;  // the handler may destroy this client
    handler();
  }
  void Arrived(const std::string& bytes) {
    received_ += bytes;
    if (!OnReadable) return;
    auto handler = OnReadable;
    handler();
  }
  void PeerClosed() {
    state_ = kTcpClosing;
    if (!OnPeerClosed) return;
    auto handler = OnPeerClosed;
    handler();
  }
  void Failed(int32_t number, const std::string& description) {
    state_ = kTcpError;
    if (!OnError) return;
    auto handler = OnError;
    handler(number, description);
  }

 private:
  [[noreturn]] static void NotInState() {
    throw AutomationError(err::InvalidSocketState, "TcpClient", "Invalid socket state.");
  }

  std::shared_ptr<SimTcpUnit> unit_;
  std::string remote_host_;
  int32_t remote_port_ = 0;
  int32_t state_ = kTcpClosed;
  std::string received_;
};

void SimTcpUnit::Attempt(SimTcpClient& client, const std::string& host, int32_t port) {
  connects.push_back(host + ":" + std::to_string(port));
  bool accepted = !refuse && host == address && port == this->port;
  // A name in the reserved ".invalid" domain never resolves.
  bool unknown = host.size() > 8 && host.compare(host.size() - 8, 8, ".invalid") == 0;
  SimTcpClient* target = &client;
  client_ = target;
  connected_ = false;
  uint64_t session = ++session_;
  host_.StartTimer(connect_delay, [self = shared_from_this(), target, session, accepted, unknown] {
    if (self->session_ != session) return;  // the client was closed meanwhile
    if (!accepted) {
      self->Drop();
      if (unknown) return target->Failed(1, "Host not found (authoritative)");
      return target->Failed(self->refuse_number, self->refuse_reason);
    }
    self->connected_ = true;
    if (self->greeting) {
      SimTcpReaction pieces;
      pieces.cuts = self->greeting_cuts;
      self->SendPieces(self->greeting_delay, *self->greeting, pieces, false);
    }
    target->Connected();
  });
}

void SimTcpUnit::Drop() {
  queue_.clear();  // the connection's unsent bytes go with it
  unsent = 0;
  client_ = nullptr;
  connected_ = false;
  ++session_;
}

void SimTcpUnit::Received(std::string_view bytes) {
  wire.append(bytes);
  sends.emplace_back(bytes);
  std::string command(bytes);
  if (command.size() >= cmd_term.size() &&
      command.compare(command.size() - cmd_term.size(), cmd_term.size(), cmd_term) == 0) {
    command.resize(command.size() - cmd_term.size());
  }
  SimTcpReaction r = NextReaction();
  std::string stream = !r.echo ? std::string() : r.echo_text ? *r.echo_text : std::string(bytes);
  std::size_t echo_length = stream.size();
  if (r.answer) {
    auto it = answers.find(command);
    stream += (it != answers.end() ? it->second : *r.answer) + r.resp_term + r.trailer;
  }
  bool close = r.close_after.has_value();
  if (close) stream.resize(std::min(stream.size(), *r.close_after));
  if (r.cuts.empty() && r.chunk_size == 0) {
    // Echo and answer as two arrivals, the answer after its delay.
    Schedule(r.echo_delay, stream.substr(0, echo_length), close && stream.size() <= echo_length);
    if (stream.size() > echo_length) {
      Schedule(r.echo_delay + r.answer_delay, stream.substr(echo_length), close);
    }
    return;
  }
  SendPieces(r.echo_delay, stream, r, close);
}

SimTcpReaction SimTcpUnit::NextReaction() {
  if (next.empty()) return reaction;
  SimTcpReaction r = std::move(next.front());
  next.pop_front();
  return r;
}

void SimTcpUnit::SendPieces(Micros start, const std::string& stream, const SimTcpReaction& r,
                            bool close) {
  std::vector<std::size_t> cuts = r.cuts;
  if (r.chunk_size != 0) {
    for (std::size_t at = r.chunk_size; at < stream.size(); at += r.chunk_size) cuts.push_back(at);
  }
  std::sort(cuts.begin(), cuts.end());
  std::size_t from = 0;
  Micros at = start;
  for (std::size_t cut : cuts) {
    if (cut <= from || cut >= stream.size()) continue;
    Schedule(at, stream.substr(from, cut - from));
    from = cut;
    at += r.chunk_gap;
  }
  Schedule(at, stream.substr(from), close);
}

void SimTcpUnit::ResumeReading(Micros delay) {
  host_.StartTimer(delay, [self = shared_from_this(), session = session_] {
    self->reading = true;
    if (self->session_ != session) return;
    while (!self->queue_.empty()) {
      std::string bytes = std::move(self->queue_.front());
      self->queue_.pop_front();
      self->unsent -= bytes.size();
      self->Received(bytes);
    }
  });
}

SimTcpReaction AnswerPastBound(std::size_t echo_size, std::size_t bound) {
  SimTcpReaction r;
  std::size_t fill = bound - echo_size - 10;
  r.answer = std::string(fill, 'a') + std::string(1000, 'b');
  r.cuts = {echo_size, echo_size + fill, echo_size + fill + 1000};
  return r;
}

SimTcpReaction AnswerTwice(const std::string& first, const std::string& second) {
  SimTcpReaction r;
  r.answer = first;
  r.trailer = second + r.resp_term;
  r.cuts = {};
  return r;
}

void SimTcpUnit::Send(const std::string& bytes, Micros delay) { Schedule(delay, bytes); }

void SimTcpUnit::CloseFromPeer(Micros delay) { Schedule(delay, "", true); }

void SimTcpUnit::Fail(int16_t number, const std::string& description, Micros delay) {
  uint64_t session = session_;
  host_.StartTimer(delay, [self = shared_from_this(), session, number, description] {
    if (self->session_ != session || self->client_ == nullptr) return;
    SimTcpClient* client = self->client_;
    self->Drop();
    client->Failed(number, description);
  });
}

void SimTcpUnit::Schedule(Micros delay, std::string bytes, bool close_after) {
  // Deliveries keep the order they were scheduled in, whatever their delays.
  auto now = static_cast<int64_t>(std::llround(host_.SecondsSinceMidnight() * 1e6));
  if (last_due_ - now > 3600LL * 1000000) last_due_ = now;  // midnight passed
  int64_t due = std::max(now + delay.count(), last_due_);
  last_due_ = due;
  uint64_t session = session_;
  if (!bytes.empty()) {
    host_.StartTimer(Micros(due - now), [self = shared_from_this(), session, bytes] {
      self->Deliver(session, bytes);
    });
  }
  // The close is its own delivery, after the data, as a FIN follows the last segment.
  if (close_after) {
    host_.StartTimer(Micros(due - now), [self = shared_from_this(), session] {
      if (self->session_ != session || !self->connected_) return;
      SimTcpClient* client = self->client_;
      self->Drop();
      client->PeerClosed();
    });
  }
}

void SimTcpUnit::Deliver(uint64_t session, const std::string& bytes) {
  if (session != session_ || !connected_) return;
  ++data_arrivals;
  client_->Arrived(bytes);
}

std::unique_ptr<TcpClient> MakeSimTcpClient(std::shared_ptr<SimTcpUnit> unit) {
  return std::make_unique<SimTcpClient>(std::move(unit));
}

}  // namespace parley::detail

// The real TCP client facility: non-blocking Asio sockets on the thread's io_context.
//
// Everything happens from the thread's loop; nothing blocks. Host names are resolved by Asio's
// resolver (its lookups run off the loop and complete on it). A connected socket is read by
// the host's watch (AsioHost::Watch) after every pass of the loop, so an answer costs the wait
// and one read, without a call to re-arm the socket. The pending operations and the watch hold
// the connection state (`Link`) alive, so the facility object itself can be destroyed at any
// moment, also from inside one of its own event handlers.
#include <algorithm>
#include <array>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/write.hpp>
#include <memory>
#include <string>
#include <vector>

#include "host/asio_host.hpp"
#include "host/tcp_client.hpp"
#include "parley/errors.hpp"

namespace parley::detail {
namespace {

using asio::ip::tcp;

constexpr std::size_t kReadChunk = 64 * 1024;
// Reading pauses while this much waits for GetData, so a peer that floods a client nobody
// drains is held back by TCP flow control instead of by our memory.
constexpr std::size_t kMaxUnread = 1024 * 1024;

// 0.0.0.0/8 and :: stand for "this host" in a connect on Linux: a default or mistyped address
// such as "000.000.000.000" would otherwise reach whatever listens locally.
bool MeansThisHost(const asio::ip::address& a) {
  if (a.is_v4()) return (a.to_v4().to_uint() >> 24) == 0;
  const auto v6 = a.to_v6();
  if (v6.is_unspecified()) return true;
  if (v6.is_v4_mapped()) {
    return (asio::ip::make_address_v4(asio::ip::v4_mapped, v6).to_uint() >> 24) == 0;
  }
  return false;
}

class AsioTcpClient;

struct Link : std::enable_shared_from_this<Link> {
  explicit Link(AsioHost& h) : loop(h), socket(h.io()), resolver(h.io()) {}

  AsioHost& loop;
  AsioTcpClient* owner = nullptr;  // null once the facility object is gone
  tcp::socket socket;
  tcp::resolver resolver;
  std::string host;
  int32_t local_port = 0;
  int32_t remote_port = 0;
  int32_t state = kTcpClosed;
  uint64_t generation = 0;  // bumped by Close: completions of an older generation are stale
  std::vector<tcp::endpoint> endpoints;
  std::error_code last_error;
  std::string received;
  std::array<char, kReadChunk> read_buffer{};
  std::shared_ptr<AsioHost::Watcher> watch;  // set while connected
  bool reading = false;                      // a read is under way (its handlers may nest)
  bool paused = false;                       // stopped at kMaxUnread
  std::string queued;                        // waiting for the write in flight
  std::string in_flight;                     // being written
  bool writing = false;

  void Connect();
  void Resolved(const std::error_code& ec, const std::vector<tcp::endpoint>& found);
  void TryEndpoint(std::size_t index);
  void Connected();
  void StartReading();
  void ReadMore();
  void ReadAvailable();
  std::size_t ReadOnce();
  void EndOfInput(const std::error_code& ec);
  bool DropReceived();
  void WriteMore();
  void Fail(const std::error_code& ec);
  void Close();
  // Wraps a completion so it is dropped once the client was closed or destroyed meanwhile.
  template <class F>
  auto Guarded(F f) {
    return [self = shared_from_this(), gen = generation, f = std::move(f)](auto&&... args) {
      if (self->generation != gen || self->owner == nullptr) return;
      f(*self, std::forward<decltype(args)>(args)...);
    };
  }
  void EmitConnect();
  void EmitData();
  void EmitPeerClosed();
  void EmitError(const std::error_code& ec);
};

class AsioTcpClient : public TcpClient {
 public:
  explicit AsioTcpClient(AsioHost& host) : link_(std::make_shared<Link>(host)) {
    link_->owner = this;
  }
  ~AsioTcpClient() override {
    link_->owner = nullptr;
    link_->Close();
  }

  void RemoteHost(const std::string& host) override { link_->host = host; }
  void LocalPort(int32_t port) override { link_->local_port = port; }
  void RemotePort(int32_t port) override { link_->remote_port = port; }
  int32_t State() const override { return link_->state; }
  void Connect() override {
    if (link_->state != kTcpClosed) NotInState("Connect needs a closed socket.");
    link_->Connect();
  }
  void Write(std::string_view bytes) override {
    if (link_->state != kTcpConnected) NotInState("Write needs a connected socket.");
    if (bytes.size() > kMaxUnsent - std::min(Unsent(), kMaxUnsent)) {
      throw AutomationError(
          err::Overflow, "TcpClient",
          "Send queue would hold more than " + std::to_string(kMaxUnsent) + " bytes.");
    }
    if (!link_->writing && link_->queued.empty()) {
      // What the system takes at once is sent now: a completion through the loop would cost
      // a pass, and a read after it, per command.
      std::error_code ec;
      bytes.remove_prefix(link_->socket.write_some(asio::buffer(bytes.data(), bytes.size()), ec));
      if (ec && ec != asio::error::would_block && ec != asio::error::interrupted) {
        auto link = link_;
        asio::post(link->socket.get_executor(), link->Guarded([ec](Link& l) { l.Fail(ec); }));
        return;
      }
      if (bytes.empty()) return;
    }
    link_->queued.append(bytes);
    if (!link_->writing) link_->WriteMore();
  }
  std::size_t Available() const override { return link_->received.size(); }
  std::string TakeReceived() override {
    std::string data;
    data.swap(link_->received);
    if (link_->state == kTcpConnected) link_->ReadMore();  // resumes a paused reader
    return data;
  }
  bool DiscardReceived() override { return link_->DropReceived(); }
  void Close() override { link_->Close(); }
  std::size_t Unsent() const override {
    return link_->queued.size() + (link_->writing ? link_->in_flight.size() : 0);
  }
  void Reset() override {
    std::error_code ignored;
    // A zero linger makes the close abortive: the system drops its send buffer too.
    if (link_->socket.is_open())
      link_->socket.set_option(asio::socket_base::linger(true, 0), ignored);
    link_->Close();
  }

 private:
  [[noreturn]] static void NotInState(const char* what) {
    throw AutomationError(err::InvalidSocketState, "TcpClient", what);
  }
  std::shared_ptr<Link> link_;
};

void Link::Connect() {
  state = kTcpConnecting;
  endpoints.clear();
  last_error = asio::error::host_unreachable;
  std::error_code ec;
  auto address = asio::ip::make_address(host, ec);
  if (!ec) {
    tcp::endpoint target(address, static_cast<uint16_t>(remote_port));
    asio::post(socket.get_executor(), Guarded([target](Link& l) { l.Resolved({}, {target}); }));
    return;
  }
  if (host.empty()) {  // the resolver would take an empty name for the loopback address
    asio::post(socket.get_executor(), Guarded([](Link& l) { l.Fail(l.last_error); }));
    return;
  }
  resolver.async_resolve(
      host, std::to_string(remote_port), tcp::resolver::numeric_service,
      Guarded([](Link& l, const std::error_code& e, const tcp::resolver::results_type& results) {
        std::vector<tcp::endpoint> found;
        for (const auto& entry : results) found.push_back(entry.endpoint());
        l.Resolved(e, found);
      }));
}

void Link::Resolved(const std::error_code& ec, const std::vector<tcp::endpoint>& found) {
  if (ec) return Fail(ec);
  for (const auto& endpoint : found) {
    if (!MeansThisHost(endpoint.address())) endpoints.push_back(endpoint);
  }
  TryEndpoint(0);
}

void Link::TryEndpoint(std::size_t index) {
  if (index >= endpoints.size()) return Fail(last_error);
  const tcp::endpoint& target = endpoints[index];
  std::error_code ec;
  socket.close(ec);
  socket.open(target.protocol(), ec);
  if (!ec && local_port != 0) {
    socket.bind(tcp::endpoint(target.protocol(), static_cast<uint16_t>(local_port)), ec);
  }
  if (ec) {
    last_error = ec;
    return TryEndpoint(index + 1);
  }
  socket.async_connect(target, Guarded([index](Link& l, const std::error_code& e) {
                         if (!e) return l.Connected();
                         l.last_error = e;
                         l.TryEndpoint(index + 1);
                       }));
}

void Link::Connected() {
  std::error_code ignored;
  // A short command must not wait for the acknowledgement of the previous segment.
  socket.set_option(tcp::no_delay(true), ignored);
  state = kTcpConnected;
  StartReading();
  EmitConnect();
}

void Link::StartReading() {
  std::error_code ignored;
  socket.non_blocking(true, ignored);
  std::weak_ptr<Link> weak = shared_from_this();
  watch = loop.Watch([weak, gen = generation] {
    auto self = weak.lock();
    if (self && self->generation == gen) self->ReadAvailable();
  });
  paused = true;  // what came with the connection was reported before the watch began
  ReadMore();
}

// Resumes a paused reader from the loop, never from inside a member call.
void Link::ReadMore() {
  if (!paused || received.size() >= kMaxUnread) return;
  paused = false;
  asio::post(socket.get_executor(), Guarded([](Link& l) { l.ReadAvailable(); }));
}

// Reads until the socket has nothing more (see ReadWatched).
void Link::ReadAvailable() {
  auto self = shared_from_this();  // a handler may destroy the facility
  uint64_t gen = generation;
  auto read_once = [&]() -> std::size_t {
    if (!owner || generation != gen || state != kTcpConnected) return 0;
    if (received.size() >= kMaxUnread) {
      paused = true;
      return 0;
    }
    return ReadOnce();
  };
  auto resume = [&] {
    paused = true;
    ReadMore();
  };
  ReadWatched(loop, reading, read_buffer.size(), read_once, resume);
}

// One read: the bytes it took (0 when there was nothing, or the input ended). The end of the
// input, or a failure, is delivered as the connection's event.
std::size_t Link::ReadOnce() {
  std::error_code ec;
  std::size_t n = socket.read_some(asio::buffer(read_buffer), ec);
  if (ec == asio::error::would_block || ec == asio::error::interrupted) return 0;
  if (ec) {
    EndOfInput(ec);
    return 0;
  }
  received.append(read_buffer.data(), n);
  EmitData();
  return n;
}

void Link::EndOfInput(const std::error_code& ec) {
  watch.reset();
  if (ec != asio::error::eof) return Fail(ec);
  state = kTcpClosing;  // the next send is refused, as the remote end meant
  EmitPeerClosed();
}

// Before a command: what arrived since the last answer goes, the system's buffer included,
// without events. An end of input or a failure found meanwhile is left for the loop to deliver
// (true: the caller must let it run), as it would have been without this call.
bool Link::DropReceived() {
  received.clear();
  if (state != kTcpConnected || reading) return true;
  for (;;) {
    std::error_code ec;
    std::size_t n = socket.read_some(asio::buffer(read_buffer), ec);
    if (ec == asio::error::would_block) return false;
    if (ec == asio::error::interrupted) continue;
    if (ec) {
      asio::post(socket.get_executor(), Guarded([ec](Link& l) { l.EndOfInput(ec); }));
      return true;
    }
    if (n < read_buffer.size()) return false;
  }
}

void Link::WriteMore() {
  writing = true;
  in_flight.swap(queued);
  queued.clear();
  asio::async_write(socket, asio::buffer(in_flight),
                    Guarded([](Link& l, const std::error_code& ec, std::size_t) {
                      l.writing = false;
                      l.in_flight.clear();
                      if (ec) return l.Fail(ec);
                      if (!l.queued.empty()) l.WriteMore();
                    }));
}

void Link::Fail(const std::error_code& ec) {
  std::error_code ignored;
  socket.close(ignored);
  ++generation;  // nothing more arrives from this socket
  reading = writing = false;
  watch.reset();
  state = kTcpError;
  EmitError(ec);
}

void Link::Close() {
  ++generation;
  std::error_code ignored;
  resolver.cancel();
  socket.close(ignored);
  state = kTcpClosed;
  received.clear();
  queued.clear();
  reading = writing = false;
  watch.reset();
}

// Each Emit copies the handler first: it may destroy the facility, and with it the original.
void Link::EmitConnect() {
  if (!owner || !owner->OnConnect) return;
  auto handler = owner->OnConnect;
  handler();
}

void Link::EmitData() {
  if (!owner || !owner->OnReadable) return;
  auto handler = owner->OnReadable;
  handler();
}

void Link::EmitPeerClosed() {
  if (!owner || !owner->OnPeerClosed) return;
  auto handler = owner->OnPeerClosed;
  handler();
}

void Link::EmitError(const std::error_code& ec) {
  if (!owner || !owner->OnError) return;
  auto handler = owner->OnError;
  handler(ec.value(), ec.message());
}

}  // namespace

std::unique_ptr<TcpClient> MakeAsioTcpClient(AsioHost& host) {
  return std::make_unique<AsioTcpClient>(host);
}

}  // namespace parley::detail

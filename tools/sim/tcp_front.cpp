#include "tcp_front.hpp"

#include <array>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>
#include <chrono>
#include <deque>
#include <string>

namespace parley::sim {
namespace {

constexpr Millis kGreetingGap{50};

// One client connection. It keeps itself alive through the handlers it has pending, so it
// ends when the client goes away or the unit closes the connection.
class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(asio::ip::tcp::socket socket, std::shared_ptr<const UnitConfig> config)
      : socket_(std::move(socket)),
        unit_(std::move(config)),
        start_(std::chrono::steady_clock::now()),
        timer_(socket_.get_executor()) {}

  void Start(const TcpOptions& options) {
    // A command of a few bytes must leave at once, not wait for the client's acknowledgement.
    std::error_code ignored;
    socket_.set_option(asio::ip::tcp::no_delay(true), ignored);
    const bool greeting = options.greeting && !unit_.config().plain;  // plain: silent till asked
    if (greeting && options.split_greeting) {
      Queue({{Millis(0), "\r\n"}, {kGreetingGap, "> "}});
    } else if (greeting) {
      Queue({{Millis(0), "\r\n> "}});
    }
    ReadMore();
  }

 private:
  Millis Now() const {
    return std::chrono::duration_cast<Millis>(std::chrono::steady_clock::now() - start_);
  }

  void ReadMore() {
    socket_.async_read_some(
        asio::buffer(buffer_), [self = shared_from_this()](std::error_code ec, std::size_t n) {
          if (ec) return self->Stop();
          self->Queue(self->unit_.Receive(self->Now(), std::string_view(self->buffer_.data(), n)));
          self->ReadMore();
        });
  }

  void Queue(std::vector<Emission> emissions) {
    for (auto& e : emissions) due_.push_back(std::move(e));
    ArmNext();
  }

  void ArmNext() {
    if (timer_armed_ || due_.empty() || closing_) return;
    timer_armed_ = true;
    timer_.expires_at(start_ + due_.front().at);
    timer_.async_wait([self = shared_from_this()](std::error_code ec) {
      self->timer_armed_ = false;
      if (ec) return;
      self->TakeDue();
      self->WriteMore();
      self->ArmNext();
    });
  }

  void TakeDue() {
    Millis now = Now();
    while (!due_.empty() && due_.front().at <= now && !closing_) {
      to_write_ += due_.front().bytes;
      closing_ = due_.front().close_after;
      due_.pop_front();
    }
  }

  void WriteMore() {
    if (writing_) return;
    if (to_write_.empty()) {
      if (closing_) Stop();
      return;
    }
    writing_ = true;
    auto chunk = std::make_shared<std::string>(std::move(to_write_));
    to_write_.clear();
    asio::async_write(socket_, asio::buffer(*chunk),
                      [self = shared_from_this(), chunk](std::error_code ec, std::size_t) {
                        self->writing_ = false;
                        if (ec) return self->Stop();
                        self->WriteMore();
                      });
  }

  void Stop() {
    std::error_code ignored;
    timer_.cancel();
    socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
  }

  asio::ip::tcp::socket socket_;
  RemoteUnit unit_;
  std::chrono::steady_clock::time_point start_;
  asio::steady_timer timer_;
  std::array<char, 4096> buffer_{};
  std::deque<Emission> due_;
  std::string to_write_;
  bool timer_armed_ = false;
  bool writing_ = false;
  bool closing_ = false;
};

}  // namespace

TcpFront::TcpFront(asio::io_context& io, std::shared_ptr<const UnitConfig> config,
                   TcpOptions options)
    : acceptor_(io, asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), options.port)),
      config_(std::move(config)),
      options_(options) {
  AcceptNext();
}

void TcpFront::AcceptNext() {
  acceptor_.async_accept([this](std::error_code ec, asio::ip::tcp::socket socket) {
    if (ec == asio::error::operation_aborted) return;
    if (!ec) std::make_shared<Session>(std::move(socket), config_)->Start(options_);
    AcceptNext();
  });
}

}  // namespace parley::sim

// A simulated TCP client with a scripted remote unit behind it, for logic tests on the
// virtual host: connects, greetings, echoes and answers are timers on the host, so a
// 480-second response wait runs in no real time.
//
// The unit takes each Write as one command, echoes it as sent and answers by its table or
// its reaction. Everything it sends can be cut anywhere into chunks, each its own DataArrival.
// It can refuse the connection (or fail it as unreachable or unresolvable), leave out or split
// its greeting, close the connection (also in the middle of an answer) and raise socket errors.
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/host.hpp"
#include "host/tcp_client.hpp"

namespace parley::detail {

struct SimTcpReaction {
  bool echo = true;
  std::optional<std::string> echo_text;      // echoed instead of what was sent
  std::optional<std::string> answer = "OK";  // nothing: neither answer nor terminator
  std::string resp_term = "\r\n>";
  std::string trailer;  // sent after the terminator, e.g. the space of a prompt
  Micros echo_delay{1000};
  Micros answer_delay{5000};  // after the echo
  // Cut positions in everything sent for this command (echo, answer, terminator, trailer);
  // each piece is its own arrival, `chunk_gap` apart. `chunk_size` cuts every that many bytes.
  std::vector<std::size_t> cuts;
  std::size_t chunk_size = 0;
  Micros chunk_gap{1000};
  // The unit closes the connection after sending this many bytes of its reply.
  std::optional<std::size_t> close_after;
};

class SimTcpClient;

class SimTcpUnit : public std::enable_shared_from_this<SimTcpUnit> {
 public:
  explicit SimTcpUnit(Host& host) : host_(host) {}

  std::string address = "192.0.2.10";  // the only host:port that accepts a connection
  int32_t port = 6000;
  // A connect elsewhere, or while `refuse`, fails with this Error event (as when nothing
  // listens); e.g. 101 "Network is unreachable" for a network out of reach. A name ending in
  // ".invalid" fails as one that does not resolve.
  bool refuse = false;
  int32_t refuse_number = 111;
  std::string refuse_reason = "Connection refused";
  Micros connect_delay{2000};
  std::optional<std::string> greeting = "\r\n> ";  // nothing: the unit greets not at all
  std::vector<std::size_t> greeting_cuts;          // pieces, each its own arrival
  Micros greeting_delay{1000};

  SimTcpReaction reaction;  // for every command, unless `next` holds one (taken in order)
  std::deque<SimTcpReaction> next;
  std::map<std::string, std::string> answers;  // by command without `cmd_term`
  std::string cmd_term = "\r\n";

  // Sends `bytes` unasked after `delay`.
  void Send(const std::string& bytes, Micros delay = Micros(0));
  // Closes the connection from the unit's side after `delay`.
  void CloseFromPeer(Micros delay = Micros(0));
  // Fails the connection with a socket error (Error event) after `delay`.
  void Fail(int16_t number, const std::string& description, Micros delay = Micros(0));

  // A unit that stops reading: while false, what the client writes stays in its send queue
  // (Unsent) instead of reaching the unit. ResumeReading takes the queue after `delay`.
  bool reading = true;
  void ResumeReading(Micros delay = Micros(0));
  // Resets the connection from the unit's side (ECONNRESET) after `delay`, as a unit does to a
  // connection left idle.
  void ResetConnection(Micros delay = Micros(0)) { Fail(104, "Connection reset by peer", delay); }

  // --- what a test observes ----------------------------------------------------------------
  std::string wire;                   // every byte the client sent, in order
  std::vector<std::string> sends;     // one entry per Write
  std::vector<std::string> connects;  // "host:port" of every connect attempt
  int data_arrivals = 0;
  int resets = 0;               // Reset() calls of the client
  std::size_t unsent = 0;       // bytes waiting in the client's send queue now
  std::size_t most_unsent = 0;  // the most that ever waited there
  bool connected() const { return connected_; }

 private:
  friend class SimTcpClient;
  void Attempt(SimTcpClient& client, const std::string& host, int32_t port);
  void Received(std::string_view bytes);
  SimTcpReaction NextReaction();
  void Schedule(Micros delay, std::string bytes, bool close_after = false);
  void SendPieces(Micros start, const std::string& stream, const SimTcpReaction& r, bool close);
  void Deliver(uint64_t session, const std::string& bytes);
  void Drop();  // forgets the client; its pending deliveries are dropped

  Host& host_;
  std::deque<std::string> queue_;   // the client's unsent writes
  SimTcpClient* client_ = nullptr;  // the client connecting or connected, if any
  bool connected_ = false;
  uint64_t session_ = 0;  // bumped per connection, so late deliveries are dropped
  int64_t last_due_ = 0;  // keeps deliveries in the order they were scheduled
};

// Hostile reactions. An answer that passes `bound` by 1000 bytes (the response holding
// `echo_size` echo bytes), with the terminator alone in a later chunk: taking the chunk after
// the refused one would make a response with a gap.
SimTcpReaction AnswerPastBound(std::size_t echo_size, std::size_t bound);
// Answers, then answers again unasked.
SimTcpReaction AnswerTwice(const std::string& first, const std::string& second);

std::unique_ptr<TcpClient> MakeSimTcpClient(std::shared_ptr<SimTcpUnit> unit);

}  // namespace parley::detail

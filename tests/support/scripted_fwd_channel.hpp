// A scripted remote unit for the forwarding dialogue: every exchange is recorded with the
// virtual time it started at, and answered by the test's responder. The port counts as held
// from the first exchange on, as after the serial engine obtained it.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "forwarding/gpib_forwarding.hpp"
#include "host/virtual_host.hpp"
#include "model/access.hpp"

namespace parley::testing {

struct FwdExchange {
  std::string cmd;
  int32_t timeout;
  double at;  // virtual seconds since the test started
};

class ScriptedFwdChannel : public detail::FwdChannel {
 public:
  using Responder = std::function<std::string(const std::string& cmd)>;

  explicit ScriptedFwdChannel(detail::VirtualHost& host) : host_(host) {}

  void Exchange(KORTransaction& t) override {
    sent.push_back({t.cmd(), t.RespTimeout(), host_.elapsed_seconds()});
    held = true;
    // An exchange takes time on the wire; the polls' spacing is measured with it.
    host_.Advance(std::chrono::milliseconds(exchange_ms));
    detail::TransactionAccess::SetResp(t, respond(t.cmd()));
  }
  bool PortHeld() const override { return held; }

  // Answers SPOLL messages from `polls` in turn (the last one repeats) and everything else
  // through `other`.
  void PollThen(std::vector<std::string> polls, Responder other) {
    respond = [this, polls = std::move(polls), other = std::move(other)](const std::string& c) {
      if (c.find("SPOLL/") == std::string::npos) return other(c);
      std::string r = polls[std::min(poll_count, polls.size() - 1)];
      ++poll_count;
      return r;
    };
  }

  std::vector<std::string> Commands() const {
    std::vector<std::string> out;
    for (const auto& e : sent) out.push_back(e.cmd);
    return out;
  }

  Responder respond = [](const std::string&) { return std::string(); };
  std::vector<FwdExchange> sent;
  bool held = false;
  int exchange_ms = 100;
  std::size_t poll_count = 0;

 private:
  detail::VirtualHost& host_;
};

}  // namespace parley::testing

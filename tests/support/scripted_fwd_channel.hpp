// A scripted remote unit for the forwarding dialogue: every exchange is recorded with the
// virtual time it started at, and answered by the test's responder. The port counts as held
// from the first exchange on, as after the serial engine obtained it.
#pragma once

#include <chrono>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "forwarding/gpib_forwarding.hpp"
#include "model/access.hpp"
#include "parley/errors.hpp"
#include "support/virtual_host.hpp"

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
    if (fail_before_transmit > 0) {  // e.g. the port was locked: nothing reached the unit
      --fail_before_transmit;
      throw AutomationError(failure, "Parley", std::string(CatalogueMessage(failure)));
    }
    sent.push_back({t.cmd(), t.RespTimeout(), host_.elapsed_seconds()});
    held = true;
    if (transmitted) transmitted();
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

  // Answers by message kind ("SPOLL", "IN", "TSND", "OUT", "REN", "REN="), each kind's
  // replies in turn (the last one repeats); a kind without replies gets "".
  void ByKind(std::map<std::string, std::vector<std::string>> replies) {
    respond = [this, replies = std::move(replies)](const std::string& c) {
      std::string kind = KindOf(c);
      auto it = replies.find(kind);
      if (it == replies.end() || it->second.empty()) return std::string();
      std::size_t n = kind_count[kind]++;
      return it->second[std::min(n, it->second.size() - 1)];
    };
  }
  static std::string KindOf(const std::string& cmd) {
    for (const char* kind : {"SPOLL/", ",TSND/", ",OUT/", "REN/", "IN/"}) {
      if (cmd.size() >= std::strlen(kind) && cmd.ends_with(kind)) {
        std::string k = kind;
        return k.substr(k.front() == ',' ? 1 : 0, k.size() - (k.front() == ',' ? 2 : 1));
      }
    }
    return cmd.find("REN=") != std::string::npos ? "REN=" : "";
  }

  Responder respond = [](const std::string&) { return std::string(); };
  int fail_before_transmit = 0;
  int32_t failure = err::CommPortLocked;
  std::map<std::string, std::size_t> kind_count;
  std::vector<FwdExchange> sent;
  bool held = false;
  int exchange_ms = 100;
  std::size_t poll_count = 0;

 private:
  detail::VirtualHost& host_;
};

}  // namespace parley::testing

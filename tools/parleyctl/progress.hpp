// What the user sees and does while a transaction waits: the progress line on a terminal, and
// Ctrl-C or SIGTERM turned into a halt of the running stage.
#pragma once

#include <chrono>
#include <memory>
#include <ostream>
#include <string>

#include "parley/parley.hpp"

namespace parley::cli {

// Installs the handlers of SIGINT and SIGTERM (they only count the signals; a second one ends
// the process at once with 130) and ignores SIGPIPE, so a closed output pipe is a write error.
void InstallSignalHandlers();
// Whether the user asked to stop since the last ForgetInterrupt.
bool Interrupted();
// The signal that came last (SIGINT, SIGTERM).
int InterruptSignal();
void ForgetInterrupt();

// One line redrawn in place: stage text, seconds left, the attempt number once an exchange is
// retried. Also acts on an interrupt: halts the stage while it may be halted.
class ProgressWatch {
 public:
  // `draw`: whether to draw at all (a terminal, no --quiet).
  ProgressWatch(KORInterface& iface, std::ostream& out, bool draw);
  ~ProgressWatch();
  ProgressWatch(const ProgressWatch&) = delete;
  ProgressWatch& operator=(const ProgressWatch&) = delete;

  // A new transaction starts: the attempt count restarts; `timeout_s` gives stages that report
  // no scale of their own (the TCP wait) a countdown.
  void Begin(int32_t timeout_s);
  // Removes the line (before a result or a message is printed).
  void Clear();
  // The last stage the current transaction reported ("" before the first).
  const std::string& Stage() const { return stage_; }

  // The text of the line for a stage, as drawn (without the control sequences).
  static std::string LineText(const std::string& status, int max, int value, int attempt,
                              int fallback_left);

 private:
  void OnUpdate();
  void OnTick();
  void Draw();

  KORInterface& iface_;
  std::shared_ptr<KORProgress> progress_;
  std::ostream& out_;
  bool draw_;
  bool drawn_ = false;
  bool told_not_haltable_ = false;
  Connection update_;
  EventLoop::Timer tick_;
  std::string status_;
  std::string stage_;
  int attempt_ = 1;
  int32_t timeout_s_ = 0;
  std::chrono::steady_clock::time_point stage_start_;
};

}  // namespace parley::cli

#include "progress.hpp"

#include <signal.h>
#include <unistd.h>

#include <csignal>

namespace parley::cli {
namespace {

volatile std::sig_atomic_t g_interrupts = 0;
volatile std::sig_atomic_t g_last_signal = 0;

extern "C" void OnSignal(int number) {
  g_last_signal = number;
  g_interrupts = g_interrupts + 1;
  if (g_interrupts >= 2) {
    // Only async-signal-safe calls here: clear a progress line and leave.
    static const char kClear[] = "\r\033[K";
    if (isatty(STDERR_FILENO)) (void)!write(STDERR_FILENO, kClear, sizeof kClear - 1);
    _exit(130);
  }
}

constexpr auto kTick = std::chrono::milliseconds(200);

}  // namespace

void InstallSignalHandlers() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

bool Interrupted() { return g_interrupts != 0; }
int InterruptSignal() { return g_last_signal; }
void ForgetInterrupt() { g_interrupts = 0; }

ProgressWatch::ProgressWatch(KORInterface& iface, std::ostream& out, bool draw)
    : iface_(iface), progress_(iface.Progress()), out_(out), draw_(draw) {
  update_ = progress_->Update.connect([this] { OnUpdate(); });
  tick_ = EventLoop::ScheduleAfter(kTick, [this] { OnTick(); });
}

ProgressWatch::~ProgressWatch() {
  update_.disconnect();
  tick_.Cancel();
  Clear();
}

void ProgressWatch::Begin(int32_t timeout_s) {
  attempt_ = 1;
  told_not_haltable_ = false;
  timeout_s_ = timeout_s;
  stage_.clear();
}

std::string ProgressWatch::LineText(const std::string& status, int max, int value, int attempt,
                                    int fallback_left) {
  if (status.empty()) return "";
  std::string line = status;
  if (max > 0) {
    line += "  " + std::to_string(value) + " s left";
  } else if (fallback_left >= 0) {
    line += "  " + std::to_string(fallback_left) + " s left";
  }
  if (attempt > 1) line += "  (attempt " + std::to_string(attempt) + ")";
  return line;
}

void ProgressWatch::OnUpdate() {
  if (progress_->status() != status_) {
    status_ = progress_->status();
    if (!status_.empty()) stage_ = status_;
    stage_start_ = std::chrono::steady_clock::now();
    if (status_ == "Retrying transaction") ++attempt_;
  }
  if (Interrupted() && progress_->HaltEnabled()) progress_->Halt();
  Draw();
}

void ProgressWatch::OnTick() {
  if (Interrupted()) {
    if (progress_->HaltEnabled()) {
      progress_->Halt();
    } else if (!told_not_haltable_ && !status_.empty()) {
      Clear();
      out_ << "This stage cannot be halted; press Ctrl-C again to quit at once.\n" << std::flush;
      told_not_haltable_ = true;
    }
  }
  Draw();
  tick_ = EventLoop::ScheduleAfter(kTick, [this] { OnTick(); });
}

void ProgressWatch::Draw() {
  if (!draw_) return;
  int fallback = -1;
  // Stages without a scale of their own that wait for the response (the TCP exchange) count
  // down the transaction's timeout.
  if (progress_->max() <= 0 && timeout_s_ > 0 && iface_.commMode() == korCommModeEther &&
      status_ == "Transmitting") {
    auto spent = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() -
                                                                  stage_start_)
                     .count();
    fallback = static_cast<int>(std::max<int64_t>(0, timeout_s_ - spent));
  }
  std::string line =
      LineText(progress_->status(), progress_->max(), progress_->Value(), attempt_, fallback);
  if (line.empty() && !drawn_) return;
  out_ << "\r\033[K" << line << std::flush;
  drawn_ = !line.empty();
}

void ProgressWatch::Clear() {
  if (drawn_) out_ << "\r\033[K" << std::flush;
  drawn_ = false;
}

}  // namespace parley::cli

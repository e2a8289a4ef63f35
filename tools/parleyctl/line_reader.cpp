#include "line_reader.hpp"

#include <histedit.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <filesystem>
#include <istream>
#include <streambuf>

#include "progress.hpp"

namespace parley::cli {
namespace {

// How often a waiting shell lets the loop run (port requests, resets).
constexpr int kLoopTurnMs = 50;
constexpr int kHistorySize = 1000;
constexpr char kCtrlC = '\x03';

// Waits until `fd` has input or its end, running the loop meanwhile; false on Ctrl-C.
bool WaitForInput(int fd) {
  pollfd p{fd, POLLIN, 0};
  for (;;) {
    int ready = poll(&p, 1, kLoopTurnMs);
    if (ready > 0 || (ready < 0 && errno != EINTR)) return true;  // the read tells the rest
    if (Interrupted()) return false;
    EventLoop::Poll();
  }
}

// Descriptor 0 with a buffer of its own, so the reader knows when a line is already here and
// only waits for the descriptor when it is not.
class InputBuffer : public std::streambuf {
 public:
  bool HasData() const { return gptr() < egptr(); }

 protected:
  int_type underflow() override {
    ssize_t n = 0;
    do {
      n = read(STDIN_FILENO, data_, sizeof data_);
    } while (n < 0 && errno == EINTR && !Interrupted());
    if (n <= 0) return traits_type::eof();
    setg(data_, data_, data_ + n);
    return traits_type::to_int_type(data_[0]);
  }

 private:
  char data_[1 << 16];
};

Options StdinOnly() {
  Options options;
  options.Set("stdin", "1");
  return options;
}

class PlainReader final : public LineReader {
 public:
  PlainReader() : stream_(&buffer_), source_(StdinOnly(), stream_) {}

  std::optional<CommandLine> Next() override {
    if (!buffer_.HasData() && !WaitForInput(STDIN_FILENO)) return std::nullopt;
    return source_.Next();
  }

 private:
  InputBuffer buffer_;
  std::istream stream_;
  CommandSource source_;
};

class EditingReader final : public LineReader {
 public:
  EditingReader(std::function<std::string()> prompt, std::string history_file)
      : prompt_(std::move(prompt)), history_file_(std::move(history_file)) {
    std::setlocale(LC_CTYPE, "");  // characters typed in the user's encoding
    history_ = history_init();
    history(history_, &event_, H_SETSIZE, kHistorySize);
    history(history_, &event_, H_SETUNIQUE, 1);
    if (!history_file_.empty()) history(history_, &event_, H_LOAD, history_file_.c_str());
    FILE* out = isatty(STDOUT_FILENO) ? stdout : stderr;  // the prompt never enters a pipe
    editor_ = el_init("parleyctl", stdin, out, stderr);
    el_set(editor_, EL_CLIENTDATA, this);
    el_set(editor_, EL_EDITOR, "emacs");
    el_set(editor_, EL_HIST, history, history_);
    el_set(editor_, EL_PROMPT, &EditingReader::Prompt);
    el_set(editor_, EL_GETCFN, &EditingReader::ReadChar);
    el_source(editor_, nullptr);  // the user's ~/.editrc
  }
  ~EditingReader() override {
    el_end(editor_);
    history_end(history_);
  }
  EditingReader(const EditingReader&) = delete;
  EditingReader& operator=(const EditingReader&) = delete;

  std::optional<CommandLine> Next() override {
    for (;;) {
      canceled_ = false;
      int count = 0;
      const char* typed = el_gets(editor_, &count);
      if (ended_) return std::nullopt;
      if (canceled_) continue;  // Ctrl-C: the line is dropped, a fresh prompt
      if (!typed || count <= 0) return std::nullopt;
      std::string line(typed, static_cast<std::size_t>(count));
      while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
      ++number_;
      std::size_t first = line.find_first_not_of(" \t");
      if (first == std::string::npos || line[first] == '#') continue;
      Remember(line);
      return CommandLine{line, "line " + std::to_string(number_)};
    }
  }

 private:
  static EditingReader& Self(EditLine* editor) {
    void* self = nullptr;
    el_get(editor, EL_CLIENTDATA, &self);
    return *static_cast<EditingReader*>(self);
  }
  static char* Prompt(EditLine* editor) {
    EditingReader& self = Self(editor);
    self.prompt_text_ = self.prompt_();
    return self.prompt_text_.data();
  }
  // One character for the editor; waiting runs the loop. Ctrl-C (SIGINT, or the character
  // itself where the terminal sends no signal for it) ends the line as canceled; SIGTERM ends
  // the input.
  static int ReadChar(EditLine* editor, wchar_t* out) {
    EditingReader& self = Self(editor);
    for (;;) {
      char byte = 0;
      ssize_t n = 0;
      if (!Interrupted() && WaitForInput(STDIN_FILENO)) n = read(STDIN_FILENO, &byte, 1);
      if (Interrupted() && InterruptSignal() != SIGINT) {
        self.ended_ = true;
        return 0;
      }
      if (Interrupted() || (n == 1 && byte == kCtrlC)) {
        ForgetInterrupt();
        self.canceled_ = true;
        *out = L'\n';
        return 1;
      }
      if (n == 0) return 0;
      if (n < 0) {
        if (errno == EINTR) continue;
        return -1;
      }
      wchar_t c = 0;
      std::size_t used = std::mbrtowc(&c, &byte, 1, &self.shift_);
      if (used == static_cast<std::size_t>(-2)) continue;  // more bytes of this character
      if (used == static_cast<std::size_t>(-1)) {          // not a character here: dropped
        self.shift_ = {};
        continue;
      }
      *out = c;
      return 1;
    }
  }
  void Remember(const std::string& line) {
    history(history_, &event_, H_ENTER, line.c_str());
    if (!history_file_.empty()) history(history_, &event_, H_SAVE, history_file_.c_str());
  }

  std::function<std::string()> prompt_;
  std::string prompt_text_;
  std::string history_file_;
  History* history_ = nullptr;
  HistEvent event_{};
  EditLine* editor_ = nullptr;
  std::mbstate_t shift_{};
  bool canceled_ = false;
  bool ended_ = false;
  long number_ = 0;
};

}  // namespace

std::unique_ptr<LineReader> MakePlainReader() { return std::make_unique<PlainReader>(); }

std::unique_ptr<LineReader> MakeEditingReader(std::function<std::string()> prompt,
                                              std::string history_file) {
  return std::make_unique<EditingReader>(std::move(prompt), std::move(history_file));
}

std::string HistoryFile() {
  namespace fs = std::filesystem;
  fs::path folder;
  const char* state = std::getenv("XDG_STATE_HOME");
  const char* home = std::getenv("HOME");
  if (state && state[0] == '/') {  // a relative one is to be ignored
    folder = state;
  } else if (home && home[0] != '\0') {
    folder = fs::path(home) / ".local" / "state";
  } else {
    return "";
  }
  folder /= "parleyctl";
  std::error_code failed;
  fs::create_directories(folder, failed);
  if (failed) return "";
  return (folder / "history").string();
}

}  // namespace parley::cli

#include "input_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace parley::tools {
namespace {

std::string KindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "it is a directory";
  if (S_ISFIFO(mode)) return "it is a FIFO, not a regular file";
  if (S_ISCHR(mode)) return "it is a character device, not a regular file";
  if (S_ISBLK(mode)) return "it is a block device, not a regular file";
  if (S_ISSOCK(mode)) return "it is a socket, not a regular file";
  return "it is not a regular file";
}

std::string OpenProblem(int error) {
  if (error == ELOOP) return "it is a symbolic link that loops (or a chain of too many links)";
  return std::strerror(error);
}

// Reads at most kMaxInputFile + 1 bytes, so a file that grows while read is still bounded.
std::string ReadBounded(int fd, std::string& problem) {
  std::string text(kMaxInputFile + 1, '\0');
  std::size_t got = 0;
  while (got < text.size()) {
    ssize_t n = ::read(fd, text.data() + got, text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) problem = std::string("read error: ") + std::strerror(errno);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got > kMaxInputFile) problem = "it is larger than 16 MiB";
  text.resize(got);
  return text;
}

}  // namespace

std::string ReadInputFile(const std::string& path, const std::string& what) {
  const std::string prefix = "cannot read the " + what + " " + path + ": ";
  // Non-blocking: opening a FIFO with no writer must not wait for one.
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) throw std::invalid_argument(prefix + OpenProblem(errno));
  std::string problem;
  std::string text;
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    problem = std::strerror(errno);
  } else if (!S_ISREG(st.st_mode)) {
    problem = KindOf(st.st_mode);
  } else if (static_cast<unsigned long long>(st.st_size) > kMaxInputFile) {
    problem = "it is larger than 16 MiB";
  } else {
    text = ReadBounded(fd, problem);
  }
  ::close(fd);
  if (!problem.empty()) throw std::invalid_argument(prefix + problem);
  return text;
}

namespace {

// One pass over TOML text that tracks how deep each value sits, without building anything.
class NestingScan {
 public:
  NestingScan(std::string_view text, const std::string& path, int max_depth)
      : text_(text), path_(path), max_(max_depth) {}

  void Run() {
    while (pos_ < text_.size()) Step();
  }

 private:
  struct Container {
    char kind;  // '[' or '{'
    int depth;
  };
  enum class Expect { kLineStart, kKey, kValue };

  char At(std::size_t i) const { return i < text_.size() ? text_[i] : '\0'; }

  void Check(int depth) const {
    if (depth <= max_) return;
    throw std::invalid_argument(path_ + ":" + std::to_string(line_) + ": nested deeper than " +
                                std::to_string(max_) +
                                " levels (tables, dotted keys, arrays and inline tables)");
  }

  void Step() {
    char c = text_[pos_];
    if (c == '\n') {
      ++line_;
      ++pos_;
      if (open_.empty()) expect_ = Expect::kLineStart;
    } else if (c == ' ' || c == '\t' || c == '\r') {
      ++pos_;
    } else if (c == '#') {
      while (pos_ < text_.size() && text_[pos_] != '\n') ++pos_;
    } else if (expect_ == Expect::kLineStart && c == '[') {
      Header();
    } else if (expect_ == Expect::kLineStart) {
      value_depth_ = table_depth_ + KeyParts();
      Check(value_depth_);
      expect_ = Expect::kValue;
    } else if (expect_ == Expect::kKey && c != '}') {
      value_depth_ = open_.back().depth + KeyParts();
      Check(value_depth_);
      expect_ = Expect::kValue;
    } else {
      Value(c);
    }
  }

  // "[a.b]" or "[[a.b]]": the tables below it start at its depth.
  void Header() {
    ++pos_;
    bool array = At(pos_) == '[';
    if (array) ++pos_;
    table_depth_ = KeyParts(']') + (array ? 1 : 0);
    Check(table_depth_);
    while (At(pos_) == ']') ++pos_;
    expect_ = Expect::kValue;  // only a comment may follow; the parser judges anything else
    value_depth_ = table_depth_;
  }

  // The parts of a (dotted) key, consumed up to and with its '=' (or `end`).
  int KeyParts(char end = '=') {
    int parts = 1;
    std::size_t start = pos_;
    while (pos_ < text_.size()) {
      char c = text_[pos_];
      if (c == end) {
        ++pos_;
        return parts;
      }
      if (c == '\n') break;
      if (c == '"' || c == '\'') {
        SkipString();
        continue;
      }
      if (c == '.') ++parts;
      ++pos_;
    }
    if (pos_ == start) ++pos_;  // malformed: make progress, the parser will say what is wrong
    return parts;
  }

  void Value(char c) {
    if (c == '"' || c == '\'') return SkipString();
    ++pos_;
    if (c == '[' || c == '{') {
      int depth = open_.empty() || open_.back().kind == '{' ? value_depth_ : open_.back().depth + 1;
      Check(depth);
      open_.push_back({c, depth});
      if (c == '{') expect_ = Expect::kKey;
    } else if ((c == ']' || c == '}') && !open_.empty()) {
      open_.pop_back();
      expect_ = Expect::kValue;
    } else if (c == ',' && !open_.empty() && open_.back().kind == '{') {
      expect_ = Expect::kKey;
    }
  }

  // Any of the four string forms; newlines inside multi-line ones still count as lines.
  void SkipString() {
    char quote = text_[pos_];
    bool multi = At(pos_ + 1) == quote && At(pos_ + 2) == quote;
    pos_ += multi ? 3 : 1;
    while (pos_ < text_.size()) {
      char c = text_[pos_];
      if (c == '\\' && quote == '"') {
        if (At(pos_ + 1) == '\n') ++line_;
        pos_ += 2;
        continue;
      }
      if (c == '\n') {
        if (!multi) return;  // unterminated: the parser reports it
        ++line_;
      }
      ++pos_;
      if (c != quote) continue;
      if (!multi) return;
      if (At(pos_) == quote && At(pos_ + 1) == quote) {
        pos_ += 2;
        while (At(pos_) == quote) ++pos_;  // up to two quotes may end the content
        return;
      }
    }
  }

  std::string_view text_;
  const std::string& path_;
  int max_;
  std::size_t pos_ = 0;
  long line_ = 1;
  Expect expect_ = Expect::kLineStart;
  int table_depth_ = 0;
  int value_depth_ = 0;
  std::vector<Container> open_;
};

}  // namespace

void CheckTomlNesting(std::string_view text, const std::string& path, int max_depth) {
  NestingScan(text, path, max_depth).Run();
}

}  // namespace parley::tools

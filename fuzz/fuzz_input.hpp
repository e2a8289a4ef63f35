// Reading a fuzz input as a few fields, in a form seeds can be written by hand.
//
// A text runs up to a backslash followed by any byte other than a backslash (both are
// consumed); "\\\\" stands for one backslash. So "VER?\\;\r\n\\;" holds the texts "VER?" and
// "\r\n". Every read succeeds: past the end, bytes are 0 and texts empty, so each input is a
// valid script and the fuzzer never wastes inputs on a format error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace parley::fuzz {

class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, std::size_t size)
      : text_(reinterpret_cast<const char*>(data), size) {}

  bool empty() const { return pos_ >= text_.size(); }

  uint8_t Byte() { return empty() ? 0 : static_cast<uint8_t>(text_[pos_++]); }

  // A text of at most `max` bytes (the rest of a longer one is skipped).
  std::string Text(std::size_t max = static_cast<std::size_t>(-1)) {
    std::string out;
    while (!empty()) {
      char c = text_[pos_++];
      if (c == '\\') {
        if (empty()) break;
        char next = text_[pos_++];
        if (next != '\\') break;
      }
      if (out.size() < max) out += c;
    }
    return out;
  }

  std::string Rest() {
    std::string out(text_.substr(pos_));
    pos_ = text_.size();
    return out;
  }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

// Stops the fuzzer with a message when a property of the target does not hold; the input is
// kept as a crash artifact.
[[noreturn]] void Fail(std::string_view what);

inline void Check(bool ok, std::string_view what) {
  if (!ok) Fail(what);
}

// With PARLEY_FUZZ_VERBOSE set, prints what a target did (for reading a reproduced input).
void Note(std::string_view what);

}  // namespace parley::fuzz

// The response framer on its own: any echo, terminator, bound and cutting of what arrives.
//
// Input: a flags byte (bit 0: skip the echo by its length, bit 1: strip trailing CR/LF, bit 2:
// bounded), two bytes of bound, two of echo length, the echo and terminator texts, then the
// chunks as texts. Checked after every chunk against a plain search of everything appended:
// the response is exactly the text between the first exact echo (or the first `length` bytes)
// and the first terminator after it; no byte is lost or made up (stale plus kept is what was
// appended); what is kept never passes the bound, and a refused chunk changes nothing.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "framing/response_framer.hpp"
#include "fuzz_input.hpp"
#include "model/strip_crlf.hpp"
#include "parley/errors.hpp"

namespace {

using parley::detail::ResponseFramer;
using parley::fuzz::Check;

struct Script {
  bool exact = true;
  bool strip = false;
  std::size_t bound = ResponseFramer::kUnbounded;
  std::size_t echo_length = 0;
  std::string echo;
  std::string terminator;
};

// What a framer that took `all` (in at least one chunk) must have found.
std::optional<std::string> Expected(const Script& s, const std::string& all) {
  std::size_t start = s.echo_length;
  if (s.exact) {
    std::size_t at = all.find(s.echo);
    if (at == std::string::npos) return std::nullopt;
    start = at + s.echo.size();
  } else if (start > all.size()) {
    return std::nullopt;
  }
  std::size_t end = all.find(s.terminator, start);
  if (end == std::string::npos) return std::nullopt;
  std::string response = all.substr(start, end - start);
  if (s.strip) parley::detail::StripCRLF(response);
  return response;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  parley::fuzz::FuzzInput in(data, size);
  Script s;
  uint8_t flags = in.Byte();
  s.exact = (flags & 1) == 0;
  s.strip = (flags & 2) != 0;
  std::size_t bound = in.Byte() * 256u + in.Byte();
  if (flags & 4) s.bound = bound;
  s.echo_length = in.Byte() * 256u + in.Byte();
  s.echo = in.Text();
  s.terminator = in.Text();

  ResponseFramer f;
  if (s.exact) {
    f.Start(s.echo, s.terminator, s.strip, s.bound);
  } else {
    f.StartLengthOnly(s.echo_length, s.terminator, s.strip, s.bound);
  }
  std::string appended;  // every byte the framer took, until it completed
  std::string stale;
  while (!in.empty()) {
    std::string chunk = in.Text();
    const std::string kept = f.received();
    bool done = false;
    try {
      done = f.Append(chunk);
    } catch (const parley::AutomationError& e) {
      Check(e.Number() == parley::err::Overflow, "only an overflow may refuse a chunk");
      Check(kept.size() + chunk.size() > s.bound, "a chunk within the bound was refused");
      Check(f.received() == kept, "a refused chunk changed what is kept");
      break;  // the links end the exchange here
    }
    appended += chunk;
    stale += f.TakeStale();
    Check(f.received().size() <= s.bound, "the framer keeps more than its bound");
    Check(done == f.complete(), "Append and complete() disagree");
    Check(stale + f.received() == appended, "bytes were lost or made up");
    std::optional<std::string> expected = Expected(s, appended);
    Check(done == expected.has_value(), "complete differs from a plain search");
    if (done) {
      Check(f.response() == *expected, "the response differs from a plain search");
      Check(f.echo_received(), "complete without the echo");
      break;
    }
  }
  return 0;
}

// The bounded debug trace at every capacity: any sequence of size changes, writes of any kind
// and text, clears, and monitor switches.
//
// Input: the date-and-time text, then operations: a byte (its value modulo 6: 0 set the size
// to the next two bytes plus 0..3 times 32000, 1 write a kind (two bytes) and a text, 2 clear,
// 3 monitor on, 4 monitor off, 5 toggle the visible monitor).
//
// Checked: a size outside 100..64000 is refused with its own error and changes nothing; after
// each write the buffer is the newest characters of what it held and the entry (the entry as
// the format says: bare text for kind 0, otherwise date, tag and text between tabs), never more
// than the capacity, and unchanged while the monitor is off; the update handler runs once per
// write while the monitor is on and visible; a clear leaves it empty.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_input.hpp"
#include "parley/errors.hpp"
#include "trace/debug_trace.hpp"

namespace {

using parley::detail::DebugTrace;
using parley::fuzz::Check;

std::string TagOf(int16_t kind) {
  switch (kind) {
    case 1:
      return "WRIT";
    case 2:
      return "READ";
    case 3:
      return "ERRR";
    default:
      return "UNKN";
  }
}

void SetSize(DebugTrace& trace, int32_t size) {
  int32_t before = trace.Size();
  try {
    trace.SetSize(size);
  } catch (const parley::AutomationError& e) {
    Check(size < DebugTrace::kMinSize || size > DebugTrace::kMaxSize, "a valid size refused");
    Check(e.Number() == (size < DebugTrace::kMinSize ? parley::err::DebugBufferTooSmall
                                                     : parley::err::DebugBufferTooBig),
          "a size refused with the wrong error");
    Check(trace.Size() == before, "a refused size changed the capacity");
    return;
  }
  Check(size >= DebugTrace::kMinSize && size <= DebugTrace::kMaxSize, "a bad size taken");
  Check(trace.Size() == size, "the size was not taken");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  parley::fuzz::FuzzInput in(data, size);
  const std::string stamp = in.Text(64);
  int updates = 0;
  DebugTrace trace([&stamp] { return stamp; }, [&updates] { ++updates; });
  bool on = false;
  while (!in.empty()) {
    switch (in.Byte() % 6) {
      case 0: {
        int32_t low = in.Byte() << 8 | in.Byte();
        SetSize(trace, low + (in.Byte() % 4) * 32000);
        break;
      }
      case 1: {
        auto kind = static_cast<int16_t>(in.Byte() << 8 | in.Byte());
        std::string text = in.Text();
        std::string entry = kind == 0 ? text : stamp + "\t" + TagOf(kind) + "\t" + text;
        std::string all = trace.Buffer() + entry;
        auto capacity = static_cast<std::size_t>(trace.Size());
        int before = updates;
        trace.Write(kind, text);
        if (!on) {
          Check(trace.Buffer() == all.substr(0, all.size() - entry.size()),
                "a write while off changed the trace");
          Check(updates == before, "an update while off");
          break;
        }
        std::string expected = all.size() > capacity ? all.substr(all.size() - capacity) : all;
        Check(trace.Buffer() == expected, "the trace is not the newest characters");
        Check(updates == before + (trace.Visible() ? 1 : 0), "updates not once per write");
        break;
      }
      case 2:
        trace.Clear();
        if (on) Check(trace.Buffer().empty(), "a clear left characters");
        break;
      case 3:
        trace.MonitorOn();
        on = true;
        break;
      case 4:
        trace.MonitorOff();
        on = false;
        break;
      case 5:
        if (trace.Visible()) {
          trace.Hide();
        } else {
          trace.Show();
        }
        break;
    }
    Check(trace.Buffer().size() <= DebugTrace::kMaxSize, "the trace passed its largest size");
  }
  return 0;
}

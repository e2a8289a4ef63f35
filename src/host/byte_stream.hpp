// One shape for every byte link: a serial port and a TCP connection both write bytes, say when
// bytes arrived, hand over what arrived, close, and report errors one way. The receive and
// framing code above them is written once against this shape.
//
// Bytes are kept unchanged, one char per byte. Events run from the thread's loop, never from
// inside a member call. A handler may close or destroy the stream: implementations copy the
// handler before calling it and touch nothing of the object afterwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace parley::detail {

class ByteStream {
 public:
  virtual ~ByteStream() = default;

  // Queues bytes for sending; throws AutomationError when the stream cannot take them.
  virtual void Write(std::string_view bytes) = 0;
  // Bytes received and not yet taken.
  virtual std::size_t Available() const = 0;
  // Takes everything received so far.
  virtual std::string TakeReceived() = 0;
  virtual void Close() = 0;

  // Bytes arrived (Available() tells how many wait).
  std::function<void()> OnReadable;
  // A failure of the link: a line error of a serial port (its event code, 1001..1011) or the
  // system's error code of a failed connection, with the system's text.
  std::function<void(int32_t number, const std::string& description)> OnError;
};

}  // namespace parley::detail

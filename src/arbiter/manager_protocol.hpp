// What the library and parley-connd say to each other over the manager's local socket, where
// that socket lives, and whom the service accepts.
//
// Every message is a frame: a 4-byte little-endian length, then that many bytes of body. The
// body is the protocol version, the message kind, a 32-bit connection id (little-endian), one
// flag byte and a text (a device path, a program name or a status listing). A frame longer
// than kMaxBody, a body shorter than its fixed part, another version or an unknown kind is
// malformed: the reader stops and the connection is closed.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace parley::detail::manager {

constexpr uint8_t kVersion = 2;
constexpr std::size_t kMaxBody = 8192;
constexpr std::size_t kFixedBody = 7;  // version, kind, id, flag
// The longest device path a client may name (the kernel's own bound on a path).
constexpr std::size_t kMaxDevicePath = 4096;

// Flags of Open, for a client that registers again with a restarted service.
constexpr uint8_t kOpenHolding = 1;  // the client has the device open now
constexpr uint8_t kOpenWaiting = 2;  // the client is waiting for the device now

enum class Kind : uint8_t {
  // client to service
  Hello = 1,     // text: the program's name
  Open = 2,      // id: the client's connection number; text: the resolved device path; flag:
                 // kOpenHolding / kOpenWaiting (re-registration after a restart of the service)
  Close = 3,     // id
  Request = 4,   // id: the program wants the device of that connection. It joins the device's
                 // queue (a repeated request keeps its place); the holder is signalled.
  Lock = 5,      // text: device path; flag 1 lock, 0 unlock. A lock belongs to the connection
                 // that took it and ends when that connection closes.
  Status = 6,    // asks for the listing
  Reset = 7,     // text: device path; every other connection of it gets NotifyReset
  Acquired = 8,  // id: the client opened the device (it is the holder now)
  Released = 9,  // id: the client closed the device (the next waiter is granted it)
  // service to client
  Welcome = 64,  // the service accepted the client
  Opened = 65,   // id; flag: the device is locked by another program
  Signal = 66,   // id: another program waits for the device: give it up when idle
  NotifyReset = 67,
  LockState = 68,   // id; flag: locked by another program now
  LockResult = 69,  // flag: 1 done; text: why not
  StatusText = 70,  // text: part of the listing; flag 1: more parts follow
  Refused = 71,     // text: why; the service closes the connection
  Grant = 72,       // id: the device is this connection's turn now: open it
  Holder = 73,      // id; text: "PID:NAME" of the program holding the device ("" when none);
                    // the answer to every Request
};

struct Message {
  Kind kind = Kind::Hello;
  uint32_t id = 0;
  uint8_t flag = 0;
  std::string text;
};

// The frame of `m`; a text that would exceed kMaxBody is cut to fit.
std::string Encode(const Message& m);

// Collects bytes as they arrive and cuts them into messages.
class Decoder {
 public:
  void Feed(const char* data, std::size_t size) { buffer_.append(data, size); }
  // The next whole message, or nothing while the frame is incomplete. After a malformed frame
  // error() is set and nothing more is returned.
  std::optional<Message> Next();
  bool error() const { return !error_.empty(); }
  const std::string& error_text() const { return error_; }

 private:
  std::string buffer_;
  std::string error_;
};

// Whether a peer whose credentials say `peer_uid` may use (or serve) the manager of the user
// `own_uid`: only the same user. Root gets no exception: its programs have their own service.
bool PeerAllowed(uid_t peer_uid, uid_t own_uid);

// The folder of the manager's socket, a place no other user can create or replace:
// $XDG_RUNTIME_DIR/parley when that variable is set (it must name an absolute folder of ours
// with mode 0700, not a symlink); otherwise /run/user/<uid>/parley when that runtime folder
// exists and fits; otherwise $HOME/.parley/run-<hostname> (the home folder from the password
// database when HOME is unset). Every folder on the way must belong to root or the user and be
// closed to writes by others (a sticky folder of root's, such as /tmp, counts as closed: nobody
// else can rename or remove what we own in it); the last folders are the user's with mode
// 0700, made so when missing. Fails (empty result, `why` naming the path and the reason) when
// the chosen place does not fit or the socket's path would be too long.
std::string RuntimeFolder(std::string* why);
// The folder's socket, lock file and pid file.
std::string SocketPath(const std::string& folder);
std::string LockPath(const std::string& folder);

// A device path for a listing: backslash, tab, line feed and carriage return as \\ \t \n \r,
// every other byte below 0x20 or from 0x7F on as \xNN, so that one path stays one field.
std::string EscapePath(const std::string& path);
// The path EscapePath was given.
std::string UnescapePath(const std::string& escaped);

// How long the service stays without clients before it ends: PARLEY_CONND_IDLE (seconds) or
// 30.
double IdleExitSeconds();

}  // namespace parley::detail::manager

// The client side of parley-connd: one socket per manager, on the thread's Asio loop.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "arbiter/manager_protocol.hpp"
#include "parley/connection.hpp"

namespace parley::detail {

class AsioHost;

// Finds, connects to and (when nothing listens) starts the service. Blocking, bounded by
// `within`; throws AutomationError(err::CommUnavailable) saying why it failed. The returned
// descriptor has passed the handshake; `leftover` holds bytes that came after the Welcome.
int ConnectToService(bool start, std::chrono::milliseconds within, std::string* leftover);

// Bounds of the waits for the service: to connect (or start it), and for an answer.
inline constexpr std::chrono::milliseconds kConnectWithin{3000};
inline constexpr std::chrono::milliseconds kReplyWithin{2000};

// Throws AutomationError(err::CommUnavailable) saying why the service cannot be used.
[[noreturn]] void Unavailable(const std::string& why);

// Whether the calling thread runs the real (Asio) loop the cross-process manager needs.
bool ThreadHasRealLoop();

// The service's status listing, as ConnectionManagerStatus returns it.
std::vector<ManagedDevice> ParseStatus(const std::string& text);

// The device `path` names, as the kernel resolves it (so that two programs reaching one device
// by different paths meet in one arbitration); `path` itself when it does not resolve.
std::string ResolvedDevice(const std::string& path);

// The program parley-connd is started from: PARLEY_CONND (an absolute path) or the installed
// one, never one found beside the program or on PATH. Throws AutomationError
// (err::CommUnavailable) naming the file when it is missing or when it, or its folder, belongs
// to someone other than root and the user or others may write it.
std::string ServiceProgram();

// Sends `m` on `fd` without blocking; false when it could not be sent whole.
bool SendFrame(int fd, const manager::Message& m);

}  // namespace parley::detail

// Error numbers, the catalogue of their messages, and the exception clients receive.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

#include "parley/export.hpp"

namespace parley {

// The one list of every error the library knows: constant name, number, catalogue message.
// An empty message means the number has no catalogue text; its description is kept as raised.
// Library numbers are 0x80040000 plus a code from 32601 to 32662.
#define PARLEY_ERROR_TABLE(X)                                                                     \
  X(NonNumericValue, 0x80047F59, "Encountered non-numeric value, expected numeric value.")        \
  X(ValueOutOfRange, 0x80047F5A, "Value out of range.")                                           \
  X(SerialPortNotFound, 0x80047F5B, "Serial port not found.")                                     \
  X(CouldNotGetCommPort, 0x80047F5C, "Couldn't get COMM port.")                                   \
  X(ErrorInitializingCommPort, 0x80047F5D, "Error Initializing COMM port.")                       \
  X(ErrorClosingCommPort, 0x80047F5E, "Error while closing COMM port.")                           \
  X(CommUnavailable, 0x80047F5F, "COMM is unavailable.")                                          \
  X(CommPortLocked, 0x80047F60, "COMM port is locked by another KORSET program.")                 \
  X(ResponseTerminatorTimeout, 0x80047F61, "Response terminator not received in timeout period.") \
  X(NoResponseFromRemoteUnit, 0x80047F62,                                                         \
    "No response received from remote unit in timeout period.")                                   \
  X(GpibDeviceBusy, 0x80047F63, "GPIB device is busy.")                                           \
  X(GpibNoSerialPollResponse, 0x80047F64, "GPIB device did not respond to serial poll.")          \
  X(GpibForwardingUnrecognized, 0x80047F65,                                                       \
    "GPIB forwarding failure: unrecognized response to TSND.")                                    \
  X(GpibDeviceTimeout, 0x80047F66, "GPIB device did not response is timeout period.")             \
  X(GpibForwardingUnavailable, 0x80047F67, "GPIB forwarding feature is not available.")           \
  X(ForcedLocalMode, 0x80047F68,                                                                  \
    "Another KORSET program has forced this application into local mode.")                        \
  X(InvalidCommMode, 0x80047F69, "Invalid communication protocol specified in transaction.")      \
  X(InvalidCommPort, 0x80047F6A, "Invalid communication interface specified in transaction.")     \
  X(InvalidBitRate, 0x80047F6B, "Invalid COMM bit rate specified in transaction.")                \
  X(InvalidParity, 0x80047F6C, "Invalid COMM parity specified in transaction.")                   \
  X(InvalidDataBits, 0x80047F6D, "Invalid COMM databits specified in transaction.")               \
  X(InvalidStopBits, 0x80047F6E, "Invalid COMM stopbits specified in transaction.")               \
  X(InvalidGpibAddress, 0x80047F6F, "Invalid GPIB address specified in transaction.")             \
  X(InvalidGpibTermination, 0x80047F70,                                                           \
    "Invalid GPIB input termination specified in transaction.")                                   \
  X(InvalidCommand, 0x80047F71, "Invalid command specified in transaction.")                      \
  X(InvalidResponseTimeout, 0x80047F72, "Invalid resopnse timeout specified in transaction.")     \
  X(DebugBufferTooSmall, 0x80047F73, "Debug buffer size too small.")                              \
  X(DebugBufferTooBig, 0x80047F74, "Debug buffer size too big.")                                  \
  X(BadSerialPortIndex, 0x80047F75, "Bad serial COMM port index.")                                \
  X(GpibBoardInitFailed, 0x80047F76, "Error initializing GPIB board.")                            \
  X(GpibDeviceInitFailed, 0x80047F77, "Error initializing GPIB device.")                          \
  X(PortNotOpen, 0x80047F78, "Port is not open.")                                                 \
  X(InterfaceBusy, 0x80047F79, "Interface is busy.")                                              \
  X(UserCanceled, 0x80047F7A, "User canceled operation.")                                         \
  X(Reserved7B, 0x80047F7B, "")                                                                   \
  X(Reserved7C, 0x80047F7C, "")                                                                   \
  X(Reserved7D, 0x80047F7D, "")                                                                   \
  X(Reserved7E, 0x80047F7E, "")                                                                   \
  X(Reserved7F, 0x80047F7F, "")                                                                   \
  X(GpibDosError, 0x80047F80, "DOS error.")                                                       \
  X(GpibNotCic, 0x80047F81, "Function requires GPIB board to be CIC.")                            \
  X(GpibWriteHandshake, 0x80047F82, "Write handshake error.")                                     \
  X(GpibNotAddressed, 0x80047F83, "GPIB board not addressed correctly.")                          \
  X(GpibInvalidArgument, 0x80047F84, "Invalid argument to function call.")                        \
  X(GpibNotSystemController, 0x80047F85, "GPIB board not system controller as required.")         \
  X(GpibAborted, 0x80047F86, "I/O operation aborted(timeout).")                                   \
  X(GpibNoBoard, 0x80047F87, "Nonexistant GPIB board.")                                           \
  X(GpibAsyncInProgress, 0x80047F88, "Asynchronous I/O in progress.")                             \
  X(GpibNoCapability, 0x80047F89, "No capability for operation.")                                 \
  X(GpibFileSystem, 0x80047F8A, "File system error.")                                             \
  X(GpibBusError, 0x80047F8B, "GPIB bus error.")                                                  \
  X(GpibStatusQueueOverflow, 0x80047F8C, "Serial Poll status byte queue overflow.")               \
  X(GpibSrqStuck, 0x80047F8D, "SQR stuck in ON position.")                                        \
  X(GpibTableProblem, 0x80047F8E, "Table problem.")                                               \
  X(UndefinedError, 0x80047F8F, "Undefined error.")                                               \
  X(GpibDirectFailure, 0x80047F90, "")                                                            \
  X(TcpPortOutOfRange, 0x80047F91, "TCP remote port number is out of range.")                     \
  X(InvalidSocketState, 0x80047F92, "Invalid socket state.")                                      \
  X(TcpConnectFailed, 0x80047F93, "TCP/IP connection could not be established.")                  \
  X(EtherTerminatorNotFound, 0x80047F94,                                                          \
    "Response terminator was not found in Ethernet transaction.")                                 \
  X(RemoteServerClosed, 0x80047F95, "Remote server closed the connection.")                       \
  X(BufferWrongMode, 0x80047F96, "")                                                              \
  X(CommBreak, 1001, "Serial COMM port error: Break Detected.")                                   \
  X(CommCtsTimeout, 1002, "Serial COMM port error: Clear to Send Timeout.")                       \
  X(CommDsrTimeout, 1003, "Serial COMM port error: Data Set Ready Timeout.")                      \
  X(CommFraming, 1004, "Serial COMM port error: Framing Error.")                                  \
  X(CommEvent1005, 1005, "")                                                                      \
  X(CommOverrun, 1006, "Serial COMM port error: Port Overrun.")                                   \
  X(CommCdTimeout, 1007, "Serial COMM port error: Carrier Detect Timeout.")                       \
  X(CommRxOverflow, 1008, "Serial COMM port error: Receive Buffer Overflow.")                     \
  X(CommParity, 1009, "Serial COMM port error: Parity Error.")                                    \
  X(CommTxFull, 1010, "Serial COMM port error: Transmit Buffer Full.")                            \
  X(CommDcb, 1011, "Unexpected error obtaining Device Control Block.")

// Named error numbers, e.g. parley::err::InterfaceBusy == int32_t(0x80047F79).
namespace err {
#define PARLEY_DECLARE_ERROR(name, number, message) \
  inline constexpr int32_t name = static_cast<int32_t>(number);
PARLEY_ERROR_TABLE(PARLEY_DECLARE_ERROR)
#undef PARLEY_DECLARE_ERROR

// Plain numbers of the runtime that the library raises as they are.
inline constexpr int32_t InvalidCall = 5;
inline constexpr int32_t Overflow = 6;
inline constexpr int32_t SubscriptOutOfRange = 9;
inline constexpr int32_t InvalidPropertyValue = 380;
}  // namespace err

// The catalogue message of `number`, or an empty view when the number has none.
PARLEY_API std::string_view CatalogueMessage(int32_t number);

// The constant name of `number` ("InterfaceBusy"), or an empty view for an unknown number.
PARLEY_API std::string_view ErrorName(int32_t number);

namespace detail {
struct ErrorAccess;
}

// Every error the library raises to a client. Number() is the 32-bit automation error number
// (library numbers are negative as int32_t), Source() names where it arose (prefixed "RediDU"
// once it passed the catalogue), Description() is the message; what() returns the description.
class PARLEY_API AutomationError : public std::exception {
 public:
  AutomationError(int32_t number, std::string source, std::string description);

  int32_t Number() const noexcept { return number_; }
  const std::string& Source() const noexcept { return source_; }
  const std::string& Description() const noexcept { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }

 private:
  friend struct detail::ErrorAccess;
  int32_t number_;
  std::string source_;
  std::string description_;
};

}  // namespace parley

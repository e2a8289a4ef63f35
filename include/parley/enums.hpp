// The value sets of the library. Properties store any number; these name the valid ones.
#pragma once

#include <cstdint>

namespace parley {

enum CommModes : int32_t {
  korCommModeCRLFtoGPIB = 1,
  korCommModeCRLFDirect = 2,
  korCommModeGPIBDirect = 3,
  korCommModeGPIBInOut = 4,
  korCommModeEther = 5,
};

enum CommPorts : int32_t {
  korCommPort1 = 1,
  korCommPort2,
  korCommPort3,
  korCommPort4,
  korCommPort5,
  korCommPort6,
  korCommPort7,
  korCommPort8,
  korCommPort9,
  korCommPort10,
  korCommPort11,
  korCommPort12,
  korCommPort13,
  korCommPort14,
  korCommPort15,
  korCommPort16,
};

enum BitRates : int32_t {
  korBitRate1200bps = 1200,
  korBitRate2400bps = 2400,
  korBitRate4800bps = 4800,
  korBitRate9600bps = 9600,
  korBitRate19200bps = 19200,
  korBitRate38400bps = 38400,
  korBitRate115200bps = 115200,
};

enum ParityValues : int32_t { korParityNone = 1, korParityOdd = 2, korParityEven = 3 };
enum DataBitValues : int32_t { korDataBits7 = 7, korDataBits8 = 8 };
enum StopBitValues : int32_t { korStopBits1 = 1, korStopBits2 = 2 };

enum GPIBAddresses : int32_t {
  korGPIBAddr1 = 1,
  korGPIBAddr2,
  korGPIBAddr3,
  korGPIBAddr4,
  korGPIBAddr5,
  korGPIBAddr6,
  korGPIBAddr7,
  korGPIBAddr8,
  korGPIBAddr9,
  korGPIBAddr10,
  korGPIBAddr11,
  korGPIBAddr12,
  korGPIBAddr13,
  korGPIBAddr14,
  korGPIBAddr15,
  korGPIBAddr16,
  korGPIBAddr17,
  korGPIBAddr18,
  korGPIBAddr19,
  korGPIBAddr20,
  korGPIBAddr21,
  korGPIBAddr22,
  korGPIBAddr23,
  korGPIBAddr24,
  korGPIBAddr25,
  korGPIBAddr26,
  korGPIBAddr27,
  korGPIBAddr28,
  korGPIBAddr29,
  korGPIBAddr30,
};

enum ITCValues : int32_t { korITC_EOI = 1, korITC_CR = 2, korITC_LF = 3, korITC_CRLF = 4 };

enum TimeoutValues : int32_t {
  korShort = 10,
  korMedium = 30,
  korLong = 60,
  korVeryLong = 120,
  korSuperLong = 480,
};

enum korWnskPortNumers : int32_t {
  WnskMinRemotePortNumber = 1,
  korWnskRemotePortNumber1 = 6000,
  WnskMaxRemotePortNumber = 64000,
};

enum enumErrorAction : int32_t {
  ActionResume = 0,
  ActionResumeNext = 1,
  ActionUnrecoverable = 2,
  ActionUnrecognized = 3,
  ActionRaise = 4,
};

// Published for completeness; no operation takes it.
enum korDBOperations : int32_t { korDBRead = 0, korDBSendAndWrite = 1, korDBWrite = 2 };

}  // namespace parley

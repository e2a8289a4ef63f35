"""Type stubs of the parley package."""

from typing import Callable, Iterable, List, Optional, SupportsIndex, Union

_Text = Union[str, bytes, bytearray, memoryview]

version: str
kSystemGpibLibrary: str

korCommModeCRLFtoGPIB: int
korCommModeCRLFDirect: int
korCommModeGPIBDirect: int
korCommModeGPIBInOut: int
korCommModeEther: int
korCommPort1: int
korCommPort2: int
korCommPort3: int
korCommPort4: int
korCommPort5: int
korCommPort6: int
korCommPort7: int
korCommPort8: int
korCommPort9: int
korCommPort10: int
korCommPort11: int
korCommPort12: int
korCommPort13: int
korCommPort14: int
korCommPort15: int
korCommPort16: int
korBitRate1200bps: int
korBitRate2400bps: int
korBitRate4800bps: int
korBitRate9600bps: int
korBitRate19200bps: int
korBitRate38400bps: int
korBitRate115200bps: int
korParityNone: int
korParityOdd: int
korParityEven: int
korDataBits7: int
korDataBits8: int
korStopBits1: int
korStopBits2: int
korGPIBAddr1: int
korGPIBAddr2: int
korGPIBAddr3: int
korGPIBAddr4: int
korGPIBAddr5: int
korGPIBAddr6: int
korGPIBAddr7: int
korGPIBAddr8: int
korGPIBAddr9: int
korGPIBAddr10: int
korGPIBAddr11: int
korGPIBAddr12: int
korGPIBAddr13: int
korGPIBAddr14: int
korGPIBAddr15: int
korGPIBAddr16: int
korGPIBAddr17: int
korGPIBAddr18: int
korGPIBAddr19: int
korGPIBAddr20: int
korGPIBAddr21: int
korGPIBAddr22: int
korGPIBAddr23: int
korGPIBAddr24: int
korGPIBAddr25: int
korGPIBAddr26: int
korGPIBAddr27: int
korGPIBAddr28: int
korGPIBAddr29: int
korGPIBAddr30: int
korITC_EOI: int
korITC_CR: int
korITC_LF: int
korITC_CRLF: int
korShort: int
korMedium: int
korLong: int
korVeryLong: int
korSuperLong: int
WnskMinRemotePortNumber: int
korWnskRemotePortNumber1: int
WnskMaxRemotePortNumber: int
ActionResume: int
ActionResumeNext: int
ActionUnrecoverable: int
ActionUnrecognized: int
ActionRaise: int
korDBRead: int
korDBSendAndWrite: int
korDBWrite: int

class CommModes(int): ...
class CommPorts(int): ...
class BitRates(int): ...
class ParityValues(int): ...
class DataBitValues(int): ...
class StopBitValues(int): ...
class GPIBAddresses(int): ...
class ITCValues(int): ...
class TimeoutValues(int): ...
class korWnskPortNumers(int): ...
class enumErrorAction(int): ...
class korDBOperations(int): ...

class err:
    NonNumericValue: int
    ValueOutOfRange: int
    SerialPortNotFound: int
    CouldNotGetCommPort: int
    ErrorInitializingCommPort: int
    ErrorClosingCommPort: int
    CommUnavailable: int
    CommPortLocked: int
    ResponseTerminatorTimeout: int
    NoResponseFromRemoteUnit: int
    GpibDeviceBusy: int
    GpibNoSerialPollResponse: int
    GpibForwardingUnrecognized: int
    GpibDeviceTimeout: int
    GpibForwardingUnavailable: int
    ForcedLocalMode: int
    InvalidCommMode: int
    InvalidCommPort: int
    InvalidBitRate: int
    InvalidParity: int
    InvalidDataBits: int
    InvalidStopBits: int
    InvalidGpibAddress: int
    InvalidGpibTermination: int
    InvalidCommand: int
    InvalidResponseTimeout: int
    DebugBufferTooSmall: int
    DebugBufferTooBig: int
    BadSerialPortIndex: int
    GpibBoardInitFailed: int
    GpibDeviceInitFailed: int
    PortNotOpen: int
    InterfaceBusy: int
    UserCanceled: int
    Reserved7B: int
    Reserved7C: int
    Reserved7D: int
    Reserved7E: int
    Reserved7F: int
    GpibDosError: int
    GpibNotCic: int
    GpibWriteHandshake: int
    GpibNotAddressed: int
    GpibInvalidArgument: int
    GpibNotSystemController: int
    GpibAborted: int
    GpibNoBoard: int
    GpibAsyncInProgress: int
    GpibNoCapability: int
    GpibFileSystem: int
    GpibBusError: int
    GpibStatusQueueOverflow: int
    GpibSrqStuck: int
    GpibTableProblem: int
    UndefinedError: int
    GpibDirectFailure: int
    TcpPortOutOfRange: int
    InvalidSocketState: int
    TcpConnectFailed: int
    EtherTerminatorNotFound: int
    RemoteServerClosed: int
    BufferWrongMode: int
    CommBreak: int
    CommCtsTimeout: int
    CommDsrTimeout: int
    CommFraming: int
    CommEvent1005: int
    CommOverrun: int
    CommCdTimeout: int
    CommRxOverflow: int
    CommParity: int
    CommTxFull: int
    CommDcb: int
    InvalidCall: int
    Overflow: int
    SubscriptOutOfRange: int
    InvalidPropertyValue: int
    messages: dict[int, str]  # every number above -> its catalogue text ("" if none)
    names: dict[int, str]  # every number above -> its name here

class AutomationError(RuntimeError):
    number: int  # unsigned 32-bit, as parley.err holds it
    source: str
    description: str
    link_error: str  # the operating system's reason where a link failed, else ""
    @property
    def name(self) -> str: ...
    def __init__(self, number: int, source: str, description: str,
                 link_error: str = ...) -> None: ...

def CatalogueMessage(number: int) -> str: ...
def ErrorName(number: int) -> str: ...

class Connection:
    def disconnect(self) -> None: ...
    @property
    def connected(self) -> bool: ...

class Event:
    def connect(self, handler: Callable[[], object]) -> Connection: ...
    @property
    def handler_count(self) -> int: ...

class KORProgress:
    """Belongs to the thread of the interface using it; HaltEnabled and Halt work anywhere."""
    def __init__(self) -> None: ...
    @property
    def max(self) -> int: ...
    @property
    def Value(self) -> int: ...
    @property
    def status(self) -> str: ...
    @property
    def HaltEnabled(self) -> bool: ...
    def Halt(self) -> None: ...
    @property
    def Update(self) -> Event: ...
    @property
    def HaltAck(self) -> Event: ...

class KORTransaction:
    """Belongs to the thread that first used it with an interface; refused while InComm."""
    cmd: str  # set from str (latin-1) or bytes
    RespTimeout: int
    RespTimeoutMs: int
    DeadlineMs: int
    RespExpect: bool
    IsCmdTypeString: bool
    ByteCmd: bytes
    def __init__(self) -> None: ...
    @property
    def resp(self) -> str: ...
    @property
    def resp_bytes(self) -> bytes: ...
    @property
    def InComm(self) -> bool: ...
    def SetByteArr(self, data: _Text) -> None: ...
    def GetByteArr(self) -> bytes: ...
    @property
    def ByteArrToString(self) -> str: ...
    @property
    def ByteArrLen(self) -> int: ...
    def GetByteArrResp(self) -> bytes: ...
    @property
    def ByteArrRespStrVal(self) -> str: ...

class KORInterface:
    @property
    def LastLinkError(self) -> str: ...
    commMode: int
    CommPort: int
    BitRate: int
    Parity: int
    DataBits: int
    StopBits: int
    GPIBAddress: int
    ITC: int
    DTO: int
    IdleSPoll: int
    MAVSPoll: int
    CmdTerm: str
    RespTerm: str
    UseSRQ: bool
    EABOExpected: bool
    SkipIBClr: bool
    GPIBDirectMaxRespLength: int
    RemoveExtraChar: bool
    VerifyEcho: bool
    PlainInstrument: bool
    DevicePath: str  # set: str or bytes; a NUL byte raises ValueError
    DelayGPIBTrans: bool
    WaitForMAVbitClear: bool
    TimeDelayForMAVbit: float  # write-only
    RemoteHostIpAddress: str
    RemotePortNumber: str  # set from a whole number as str, or an int
    RaiseEtherPortResetErr: bool
    Progress: KORProgress
    def __init__(self) -> None: ...
    def __enter__(self) -> "KORInterface": ...
    def __exit__(self, *exc: object) -> bool: ...
    def openPort(self) -> None: ...
    def closePort(self) -> None: ...
    @property
    def Busy(self) -> bool: ...
    @property
    def IsPortOpen(self) -> bool: ...
    def Transact(self, transaction: KORTransaction,
                 progress: Optional[Callable[[KORProgress], object]] = ...) -> None: ...
    def GetTransact(self, transaction: KORTransaction) -> None: ...
    def Spoll(self) -> int: ...
    def RemoteEnable(self) -> None: ...
    def GPIBClose(self) -> None: ...
    def GPIBInOutValidateTrans(self, transaction: KORTransaction) -> None: ...
    def ReceivedStringBuffer(self) -> str: ...
    def ReceivedByteArrBuffer(self) -> bytes: ...
    def ClearResponseArray(self) -> None: ...
    def DebugMonitorOn(self) -> None: ...
    def DebugMonitorOff(self) -> None: ...
    def DebugBuffSizeGet(self) -> int: ...
    def DebugBuffSizeSet(self, size: int) -> None: ...
    def DebugBuffGet(self) -> str: ...
    def DebugBuffClear(self) -> None: ...
    def DebugMonitorShow(self) -> None: ...
    def DebugMonitorHide(self) -> None: ...
    @property
    def DebugMonitorVisible(self) -> bool: ...
    @property
    def portReset(self) -> Event: ...
    @property
    def debugMonUpdate(self) -> Event: ...
    def query(self, cmd: _Text, timeout: float = ...,
              progress: Optional[Callable[[KORProgress], object]] = ...,
              expect: bool = ..., deadline: Optional[float] = ...) -> str: ...
    def query_bytes(self, data: _Text, timeout: float = ...,
                    progress: Optional[Callable[[KORProgress], object]] = ...,
                    expect: bool = ..., deadline: Optional[float] = ...) -> bytes: ...

def open(mode: Union[int, _Text] = ..., port: Union[SupportsIndex, str, None] = ...,
         device: Optional[_Text] = ..., **settings: object) -> KORInterface: ...
def list_resources() -> List[str]: ...

class Address:
    mode: int
    plain_instrument: bool
    comm_port: int
    device_path: str
    gpib_board: int
    gpib_address: int
    host: str
    tcp_port: int

def ParseAddress(address: _Text) -> Address: ...
def ApplyAddress(interface: KORInterface, address: _Text) -> None: ...
def ListResources() -> List[str]: ...

class EventLoop:
    @staticmethod
    def Poll() -> None: ...
    @staticmethod
    def RunFor(ms: SupportsIndex) -> None: ...

def MapSerialPort(port: int, device_path: _Text) -> None: ...
def SerialDevicePath(port: int) -> str: ...

def UseSystemGpibLibrary() -> None: ...
def UseGpibLibrary(path: _Text) -> None: ...
def UseSimulatedGpibBus(bus: SimulatedGpibBus) -> None: ...
def GpibLibraryLoadError() -> str: ...

class GpibCall:
    name: str
    text: str
    at: float

class SimulatedInstrument:
    @property
    def Address(self) -> int: ...
    def Reply(self, command: _Text, reply: _Text) -> None: ...
    def OnCommand(self, handler: Callable[[str], Optional[_Text]]) -> None: ...
    def ResponseDelay(self, seconds: float) -> None: ...  # 0 to 86400
    def Busy(self, busy: bool) -> None: ...
    def StatusBits(self, idle: int, message_available: int) -> None: ...
    def QueueReply(self, reply: _Text) -> None: ...
    def DiscardOutput(self) -> None: ...
    def StatusByte(self) -> int: ...
    def Received(self) -> list[str]: ...
    def Unread(self) -> str: ...
    def ServiceRequestEnable(self) -> int: ...

class SimulatedGpibBus:
    def __init__(self) -> None: ...
    def AddInstrument(self, address: int) -> SimulatedInstrument: ...
    # call: ibfind, ibconfig, ibdev, ibclr, ibonl, ibwrt, ibrd, ibrsp, ibsre or ibwait
    def InjectError(self, call: str, iberr: SupportsIndex, times: SupportsIndex = ...) -> None: ...
    def ClearInjectedErrors(self) -> None: ...
    def QueueRegistrationResult(self, rc: int) -> None: ...
    def Calls(self) -> list[GpibCall]: ...
    def CallNames(self, with_registration: bool = ...) -> list[str]: ...
    def ClearCalls(self) -> None: ...
    @property
    def BoardOnline(self) -> bool: ...
    @property
    def OnlineDevices(self) -> int: ...
    @property
    def RemoteEnableAsserted(self) -> bool: ...

class PortConnection:
    def __init__(self) -> None: ...
    def PortLocked(self) -> bool: ...
    def RequestPort(self) -> None: ...
    def RaiseNotifySignal(self) -> None: ...
    def RaiseNotifyReset(self) -> None: ...

class ConnectionManager:
    def __init__(self) -> None: ...
    def GetConnection(self, port: int) -> PortConnection: ...

def UseConnectionManager(factory: Optional[Callable[[], ConnectionManager]]) -> None: ...
def MakeInProcessConnectionManager() -> ConnectionManager: ...

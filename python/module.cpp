// The Python extension module: the library's object model with Python properties, events and
// exceptions. The package in python/parley/ adds the conveniences written in Python.
//
// Threads and the GIL: every call that may wait releases the GIL; each Python handler takes it
// again. An interface belongs to the thread that created it (its waits run that thread's event
// loop), so a call from any other thread is refused instead of corrupting that loop.
//
// Handler exceptions: the library turns an exception escaping a handler into a catalogue error
// of its own. The original Python exception is kept per thread and raised in its place when the
// operation returns, so the caller sees exactly what the handler raised.
#include <Python.h>
#include <cxxabi.h>
#include <fcntl.h>
#include <pybind11/eval.h>
#include <pybind11/functional.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "parley/parley.hpp"

namespace py = pybind11;
using namespace parley;

namespace {

// --- the Python exception carried across the library -----------------------------------------

// Thrown into the library when a Python handler failed; the library reports it as its own error.
struct HandlerFailed : std::runtime_error {
  HandlerFailed() : std::runtime_error("A Python handler raised an exception.") {}
};

// Touched only with the GIL held, on the thread whose operation the handler ran in.
thread_local std::unique_ptr<py::error_already_set> pending_error;

void KeepPending(py::error_already_set&& e) {
  // The first failure wins: later handlers of the same operation do not run anyway.
  if (!pending_error) pending_error = std::make_unique<py::error_already_set>(std::move(e));
}

[[noreturn]] void RaisePending() {
  auto e = std::move(pending_error);
  e->restore();
  throw py::error_already_set();
}

// --- the GIL and the interpreter's end ------------------------------------------------------

// Once the interpreter finalizes, a thread other than the finalizing (main) one must not take
// the GIL: Python would end it with an unwind through the library's frames, and some versions
// crash on the attempt. Such a thread stays where it is until the process exits.
bool InterpreterFinalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

unsigned long main_thread_ident = 0;  // set once at import, read only afterwards

bool MayNotTakeGil() {
  return InterpreterFinalizing() && PyThread_get_thread_ident() != main_thread_ident;
}

[[noreturn]] void ParkUntilExit() {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

// Takes the GIL for a handler. When the interpreter is ending the handler cannot run: the
// operation it belongs to is ended instead, and its thread parks on the way out.
class GilForHandler {
 public:
  GilForHandler() {
    if (MayNotTakeGil()) throw HandlerFailed();
    state_ = PyGILState_Ensure();
  }
  ~GilForHandler() { PyGILState_Release(state_); }
  GilForHandler(const GilForHandler&) = delete;
  GilForHandler& operator=(const GilForHandler&) = delete;

 private:
  PyGILState_STATE state_;
};

void RetakeGil(PyThreadState* saved) {
  if (MayNotTakeGil()) ParkUntilExit();
  PyEval_RestoreThread(saved);
}

// Runs `f` without the GIL, then takes it again (not in a destructor, so a thread ending while
// it waits for the GIL unwinds cleanly). Called with the GIL held.
template <class F>
auto WithoutGil(F&& f) -> decltype(f()) {
  using R = decltype(f());
  PyThreadState* saved = PyEval_SaveThread();
  std::exception_ptr failure;
  std::optional<std::conditional_t<std::is_void_v<R>, bool, R>> result;
  try {
    if constexpr (std::is_void_v<R>) {
      f();
    } else {
      result.emplace(f());
    }
  } catch (abi::__forced_unwind&) {
    throw;  // the thread is being ended: it must not take the GIL again
  } catch (...) {
    failure = std::current_exception();
  }
  RetakeGil(saved);
  if (failure) std::rethrow_exception(failure);
  if constexpr (!std::is_void_v<R>) return std::move(*result);
}

// A member function as a binding that runs it without the GIL (it may wait for a lock).
template <class C, class R, class... A>
auto NoGil(R (C::*member)(A...)) {
  return
      [member](C& c, A... a) -> R { return WithoutGil([&]() -> R { return (c.*member)(a...); }); };
}
template <class C, class R, class... A>
auto NoGil(R (C::*member)(A...) const) {
  return [member](const C& c, A... a) -> R {
    return WithoutGil([&]() -> R { return (c.*member)(a...); });
  };
}

// Runs `f` without the GIL; re-raises a handler's Python exception in place of whatever the
// library made of it. Called with the GIL held.
template <class F>
auto Released(F&& f) -> decltype(f()) {
  pending_error.reset();
  try {
    if constexpr (std::is_void_v<decltype(f())>) {
      WithoutGil(std::forward<F>(f));
      if (pending_error) RaisePending();
    } else {
      auto result = WithoutGil(std::forward<F>(f));
      if (pending_error) RaisePending();
      return result;
    }
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    if (pending_error) RaisePending();
    throw;
  }
}

// A Python callable that may be copied and destroyed where the GIL is not held (inside the
// library's calls).
class PyCallable {
 public:
  explicit PyCallable(py::handle f) : f_(f.ptr()) { Py_INCREF(f_); }
  ~PyCallable() {
    // The interpreter is gone or ending: the object goes with it.
    if (f_ == nullptr || !Py_IsInitialized() || MayNotTakeGil()) return;
    PyGILState_STATE state = PyGILState_Ensure();
    Py_DECREF(f_);
    PyGILState_Release(state);
  }
  PyCallable(const PyCallable&) = delete;
  PyCallable& operator=(const PyCallable&) = delete;
  PyObject* get() const { return f_; }  // null once cleared
  // For the garbage collector, with the GIL held: breaks a cycle through this reference.
  void Clear() { Py_CLEAR(f_); }

 private:
  PyObject* f_;
};

py::handle RequireCallable(py::handle f, const char* what) {
  if (!PyCallable_Check(f.ptr())) {
    throw py::type_error(std::string(what) + " expects a callable, not " +
                         std::string(py::str(py::type::handle_of(f).attr("__name__"))));
  }
  return f;
}

// An event handler for the library: takes the GIL, calls, and turns a Python exception into
// HandlerFailed so that the operation in progress ends. A type of its own, so that the garbage
// collector's visits can find the Python object among an event's handlers.
struct PyHandler {
  std::shared_ptr<PyCallable> callable;

  void operator()() const {
    GilForHandler gil;
    if (pending_error) throw HandlerFailed();  // an earlier handler failed: run no more Python
    py::handle f(callable->get());
    if (!f) return;  // cleared by the garbage collector
    try {
      f();
    } catch (py::error_already_set& e) {
      KeepPending(std::move(e));
      throw HandlerFailed();
    }
  }
};

std::function<void()> MakeHandler(py::handle f) {
  return PyHandler{std::make_shared<PyCallable>(RequireCallable(f, "connect"))};
}

// The garbage collector's view of the handlers of one event: `visit` each Python callable, or
// clear them all. With the GIL held, on the event's own thread (it refuses others).
int VisitPythonHandlers(const Event& event, visitproc visit, void* arg) {
  int result = 0;
  event.VisitHandlers([&](const std::function<void()>& h) {
    const auto* handler = h.target<PyHandler>();
    if (result == 0 && handler && handler->callable->get()) {
      result = visit(handler->callable->get(), arg);
    }
  });
  return result;
}

void ClearPythonHandlers(const Event& event) {
  event.VisitHandlers([](const std::function<void()>& h) {
    if (const auto* handler = h.target<PyHandler>()) handler->callable->Clear();
  });
}

// --- the loop between calls -----------------------------------------------------------------

struct PyEventLoop {};  // a namespace for Python: EventLoop.Poll(), EventLoop.RunFor(ms)
constexpr int64_t kMaxRunForMs = std::numeric_limits<int32_t>::max();

// --- conversions with clear messages ---------------------------------------------------------

std::string TypeName(py::handle h) { return py::str(py::type::handle_of(h).attr("__name__")); }

// Anything with __index__ is an int (numpy's integers, say); a float is not.
// A bool is refused: BitRate = True is a mistake, not 1.
int64_t ToInt(py::handle value, const char* name, int64_t lo, int64_t hi) {
  if (PyBool_Check(value.ptr()) || (!PyLong_Check(value.ptr()) && !PyIndex_Check(value.ptr()))) {
    throw py::type_error(std::string(name) + " expects an int, not " + TypeName(value));
  }
  auto number = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
  if (!number) throw py::error_already_set();
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
  if (overflow != 0 || v < lo || v > hi) {
    throw py::value_error(std::string(name) + " expects an int from " + std::to_string(lo) +
                          " to " + std::to_string(hi) + ", not " + std::string(py::repr(value)));
  }
  return v;
}

int32_t ToInt32(py::handle v, const char* name) {
  return static_cast<int32_t>(
      ToInt(v, name, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
}
int16_t ToInt16(py::handle v, const char* name) {
  return static_cast<int16_t>(
      ToInt(v, name, std::numeric_limits<int16_t>::min(), std::numeric_limits<int16_t>::max()));
}

bool ToBool(py::handle value, const char* name) {
  if (PyBool_Check(value.ptr())) return value.ptr() == Py_True;
  if (PyLong_Check(value.ptr()) || PyIndex_Check(value.ptr())) {
    auto number = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
    if (!number) throw py::error_already_set();
    return ToInt(number, name, 0, 1) != 0;
  }
  throw py::type_error(std::string(name) + " expects a bool, not " + TypeName(value));
}

double ToDouble(py::handle value, const char* name) {
  if (PyFloat_Check(value.ptr()) || PyLong_Check(value.ptr())) {
    double d = PyFloat_AsDouble(value.ptr());
    if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return d;
  }
  throw py::type_error(std::string(name) + " expects a number, not " + TypeName(value));
}

// Text is bytes: a str must hold only code points 0..255 (latin-1); bytes-like objects pass as
// they are.
std::string ToBytes(py::handle value, const char* name) {
  if (PyUnicode_Check(value.ptr())) {
    PyObject* encoded = PyUnicode_AsLatin1String(value.ptr());
    if (encoded == nullptr) {
      PyErr_Clear();
      throw py::value_error(std::string(name) +
                            " holds bytes: a str may contain only code points 0..255 (latin-1); "
                            "pass bytes for binary data");
    }
    auto owned = py::reinterpret_steal<py::bytes>(encoded);
    return std::string(owned);
  }
  if (PyBytes_Check(value.ptr())) return std::string(py::reinterpret_borrow<py::bytes>(value));
  if (PyByteArray_Check(value.ptr()) || PyMemoryView_Check(value.ptr())) {
    auto owned = py::reinterpret_steal<py::bytes>(PyBytes_FromObject(value.ptr()));
    if (!owned) throw py::error_already_set();
    return std::string(owned);
  }
  throw py::type_error(std::string(name) + " expects str or bytes, not " + TypeName(value));
}

// Text that becomes a path or a host name: a NUL would cut it short in the system's calls.
std::string ToPathText(py::handle value, const char* name) {
  std::string s = ToBytes(value, name);
  if (s.find('\0') != std::string::npos) {
    throw py::value_error(std::string(name) + ": embedded null byte");
  }
  return s;
}

constexpr int32_t kHighestTcpPort = 65535;  // a plain instrument's; the unit's is 64000

// A port number, as an int or as text: whole numbers from 1 to 65535 only (the library would
// round "6000.9" and refuse other text only at Transact). Passed on as plain digits.
std::string ToPortText(py::handle value, const char* name) {
  auto refuse = [&](const char* why) -> std::string {
    throw py::value_error(std::string(name) + " expects " + why + " from 1 to " +
                          std::to_string(kHighestTcpPort) + ", not " +
                          std::string(py::repr(value)));
  };
  if (PyIndex_Check(value.ptr()) && !PyUnicode_Check(value.ptr())) {
    return std::to_string(ToInt(value, name, 1, kHighestTcpPort));
  }
  std::string s = ToBytes(value, name);
  if (std::any_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) > 127; })) {
    return refuse("a port number");
  }
  auto number = py::reinterpret_steal<py::object>(PyFloat_FromString(py::str(s).ptr()));
  if (!number) {
    PyErr_Clear();
    return refuse("a port number");
  }
  double d = PyFloat_AsDouble(number.ptr());
  if (!std::isfinite(d) || d != std::floor(d)) return refuse("a whole number");
  if (d < 1 || d > kHighestTcpPort) return refuse("a port number");
  return std::to_string(static_cast<int32_t>(d));
}

std::vector<uint8_t> ToByteVector(py::handle value, const char* name) {
  std::string s = ToBytes(value, name);
  return std::vector<uint8_t>(s.begin(), s.end());
}

py::str Latin1(const std::string& s) {
  PyObject* o = PyUnicode_DecodeLatin1(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr);
  if (o == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(o);
}

py::bytes Bytes(const std::vector<uint8_t>& v) {
  return py::bytes(reinterpret_cast<const char*>(v.data()), v.size());
}

// --- settings: the values some mode accepts ---------------------------------------------------
// The library stores any number and refuses it at Transact with the mode's error; from Python a
// value that no mode takes is refused when set, naming the values (src/catalogue/validation.cpp
// holds the per-mode checks).

template <int32_t Lo, int32_t Hi>
int32_t Ranged(py::handle v, const char* name) {
  return static_cast<int32_t>(ToInt(v, name, Lo, Hi));
}

template <int32_t... Allowed>
int32_t Listed(py::handle v, const char* name) {
  auto value =
      ToInt(v, name, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max());
  if (((value == Allowed) || ...)) return static_cast<int32_t>(value);
  std::string allowed;
  ((allowed += (allowed.empty() ? "" : ", ") + std::to_string(Allowed)), ...);
  throw py::value_error(std::string(name) + " expects one of " + allowed + ", not " +
                        std::string(py::repr(v)));
}

constexpr auto CommModeValue = Ranged<korCommModeCRLFtoGPIB, korCommModeEther>;
constexpr auto CommPortValue = Ranged<korCommPort1, korCommPort16>;
constexpr auto BitRateValue = Listed<1200, 2400, 4800, 9600, 19200, 38400, 115200>;
constexpr auto ParityValue = Ranged<korParityNone, korParityEven>;
constexpr auto DataBitsValue = Listed<korDataBits7, korDataBits8>;
constexpr auto StopBitsValue = Listed<korStopBits1, korStopBits2>;
constexpr auto GpibAddressValue = Ranged<0, 30>;  // 0 on a local board only
constexpr auto ItcValue = Ranged<korITC_EOI, korITC_CRLF>;
constexpr auto MaxRespLengthValue = Ranged<1, 20000>;  // the library ignores others silently

// The longest MAV-bit delay the library keeps; it puts 1 s in place of a longer one.
constexpr double kLongestMavDelay = 3.0;

// --- the simulated bus -------------------------------------------------------------------------

// A day: the longest wait the simulator deals in; beyond it a delay is a mistake.
constexpr double kLongestResponseDelay = 86400.0;

// The driver calls the simulated bus can fail on request; another name would never match.
void RequireDriverCallName(const std::string& call) {
  static const char* const kNames[] = {"ibfind", "ibconfig", "ibdev", "ibclr", "ibonl",
                                       "ibwrt",  "ibrd",     "ibrsp", "ibsre", "ibwait"};
  std::string known;
  for (const char* name : kNames) {
    if (call == name) return;
    known += known.empty() ? name : std::string(", ") + name;
  }
  throw py::value_error("InjectError: no driver call named " +
                        std::string(py::repr(py::str(call))) + "; the calls are " + known);
}

// --- objects ---------------------------------------------------------------------------------

[[noreturn]] void WrongThread(const char* what) {
  throw AutomationError(
      err::InvalidCall, "KORInterface",
      std::string(what) + " belongs to the thread that created it; use it only there.");
}

// Held by every interface made on a thread; it expires when the thread's Python state is
// cleared, which happens before a join() of the thread returns (a C++ thread-local would go
// only later, at the very end of the thread).
std::weak_ptr<void> ThreadLife() {
  constexpr const char* kKey = "parley.thread_life";
  PyObject* dict = PyThreadState_GetDict();  // borrowed
  if (dict == nullptr) throw std::runtime_error("no Python thread state");
  PyObject* capsule = PyDict_GetItemString(dict, kKey);  // borrowed
  if (capsule == nullptr) {
    auto* life = new std::shared_ptr<char>(std::make_shared<char>());
    auto owned = py::reinterpret_steal<py::object>(PyCapsule_New(life, nullptr, [](PyObject* c) {
      delete static_cast<std::shared_ptr<char>*>(PyCapsule_GetPointer(c, nullptr));
    }));
    if (!owned) {
      delete life;
      throw py::error_already_set();
    }
    if (PyDict_SetItemString(dict, kKey, owned.ptr()) != 0) throw py::error_already_set();
    capsule = owned.ptr();
  }
  return *static_cast<std::shared_ptr<char>*>(PyCapsule_GetPointer(capsule, nullptr));
}

// KORInterface with the thread it belongs to.
struct PyInterface {
  std::unique_ptr<KORInterface> itf = std::make_unique<KORInterface>();
  std::thread::id owner = std::this_thread::get_id();
  std::weak_ptr<void> owner_life = ThreadLife();
  bool port_open = false;  // as the last operation left it, for the check when freed
  // The interface's progress object as last set or read on the owner thread: any thread may
  // fetch it from here (under the GIL) to call Halt(), which works from anywhere.
  std::shared_ptr<KORProgress> progress = itf->Progress();

  KORInterface& Use() {
    if (std::this_thread::get_id() != owner) WrongThread("A KORInterface");
    return *itf;
  }

  ~PyInterface() {
    if (std::this_thread::get_id() != owner) {
      // Its port and timers live on the owner thread's loop: while that thread runs, freeing
      // them here could race with it, and leaking one object is the lesser harm. Once the
      // thread has ended, nothing else uses them.
      if (!owner_life.expired()) {
        (void)itf.release();
        return;
      }
      if (port_open) WarnUnclosed();
    }
    WithoutGil([&] { itf.reset(); });  // closing may wait and run handlers
  }

  static void WarnUnclosed() {
    if (PyErr_WarnEx(PyExc_ResourceWarning,
                     "a KORInterface whose thread has ended was freed with its port open; "
                     "the port is closed now",
                     1) != 0) {
      PyErr_WriteUnraisable(nullptr);
    }
  }
};

// The garbage collector's support for interfaces held in cycles through their own handlers
// (a handler that closes over its interface). Only the owner thread visits: another thread's
// events may change while it runs without the GIL. The progress object is visited along with
// the interface only while nothing else holds it.
PyInterface* InterfaceOnItsThread(PyObject* self) {
  try {
    auto& p = py::handle(self).cast<PyInterface&>();
    if (!p.itf || std::this_thread::get_id() != p.owner) return nullptr;
    return &p;
  } catch (...) {
    return nullptr;  // not constructed yet, or made before fork()
  }
}

template <class Each>
void ForEachOwnedEvent(PyInterface& p, Each&& each) {
  each(p.itf->portReset);
  each(p.itf->debugMonUpdate);
  auto progress = p.itf->Progress();
  // The interface's reference, the cached one and this one.
  if (progress.use_count() == 2 + (p.progress == progress ? 1 : 0)) {
    each(progress->Update);
    each(progress->HaltAck);
  }
}

int TraverseInterface(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  PyInterface* p = InterfaceOnItsThread(self);
  if (p == nullptr) return 0;
  int result = 0;
  try {
    ForEachOwnedEvent(*p, [&](Event& e) {
      if (result == 0) result = VisitPythonHandlers(e, visit, arg);
    });
  } catch (const AutomationError&) {
  }
  return result;
}

int ClearInterface(PyObject* self) {
  if (PyInterface* p = InterfaceOnItsThread(self)) {
    try {
      ForEachOwnedEvent(*p, [](Event& e) { ClearPythonHandlers(e); });
    } catch (const AutomationError&) {
    }
  }
  return 0;
}

// A progress object held only by its Python object: its handlers belong to it.
std::shared_ptr<KORProgress> SoleProgress(PyObject* self) {
  try {
    auto p = py::handle(self).cast<std::shared_ptr<KORProgress>>();
    if (p.use_count() == 2) return p;  // the Python object's holder and this copy
  } catch (...) {
  }
  return nullptr;
}

int TraverseProgress(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  auto p = SoleProgress(self);
  if (!p) return 0;
  try {
    int result = VisitPythonHandlers(p->Update, visit, arg);
    return result != 0 ? result : VisitPythonHandlers(p->HaltAck, visit, arg);
  } catch (const AutomationError&) {
    return 0;  // another thread's
  }
}

int ClearProgress(PyObject* self) {
  if (auto p = SoleProgress(self)) {
    try {
      ClearPythonHandlers(p->Update);
      ClearPythonHandlers(p->HaltAck);
    } catch (const AutomationError&) {
    }
  }
  return 0;
}

template <auto Traverse, auto Clear>
py::custom_type_setup CollectedType() {
  return py::custom_type_setup([](PyHeapTypeObject* heap_type) {
    auto* type = &heap_type->ht_type;
    type->tp_flags |= Py_TPFLAGS_HAVE_GC;
    type->tp_traverse = Traverse;
    type->tp_clear = Clear;
  });
}

// An event of a library object, kept alive together with the Python object that owns it.
struct PyEvent {
  py::object owner;
  Event* event;
  std::thread::id thread;
};

// The library keeps the Python object behind a C++ interface alive through this deleter.
template <class T>
std::shared_ptr<T> HoldPython(py::object obj) {
  T* raw = obj.cast<T*>();
  auto holder = std::make_shared<PyCallable>(obj);
  return std::shared_ptr<T>(raw, [holder](T*) mutable { holder.reset(); });
}

class PyPortConnection : public PortConnection {
 public:
  bool PortLocked() override { return CallOverride<bool>("PortLocked"); }
  void RequestPort() override { CallOverride<void>("RequestPort"); }
  void RaiseNotifySignalPublic() { RaiseNotifySignal(); }
  void RaiseNotifyResetPublic() { RaiseNotifyReset(); }

 private:
  template <class R>
  R CallOverride(const char* name) {
    GilForHandler gil;
    py::function f = py::get_override(static_cast<const PortConnection*>(this), name);
    if (!f)
      throw AutomationError(err::InvalidCall, "PortConnection",
                            std::string(name) + " is not implemented");
    try {
      if constexpr (std::is_void_v<R>) {
        f();
      } else {
        return ToBool(f(), name);
      }
    } catch (py::error_already_set& e) {
      KeepPending(std::move(e));
      throw HandlerFailed();
    }
  }
};

// Only a connection written in Python raises its events from Python.
PyPortConnection& Own(PortConnection& c) {
  auto* own = dynamic_cast<PyPortConnection*>(&c);
  if (own == nullptr)
    throw py::type_error("only a PortConnection subclassed in Python raises here");
  return *own;
}

class PyConnectionManager : public ConnectionManager {
 public:
  std::shared_ptr<PortConnection> GetConnection(int32_t port) override {
    GilForHandler gil;
    py::function f = py::get_override(static_cast<const ConnectionManager*>(this), "GetConnection");
    if (!f)
      throw AutomationError(err::InvalidCall, "ConnectionManager",
                            "GetConnection is not implemented");
    try {
      return HoldPython<PortConnection>(f(port));
    } catch (py::error_already_set& e) {
      KeepPending(std::move(e));
      throw HandlerFailed();
    } catch (py::cast_error&) {
      throw AutomationError(err::InvalidCall, "ConnectionManager",
                            "GetConnection must return a PortConnection");
    }
  }
};

// --- waking a waiting call ---------------------------------------------------------------------

// The thread's wake-up pipe, watched by its loop. A byte written to it (by Python's signal
// handler, by Halt from another thread, by a handler that could not unwind) runs OnWake on the
// thread at once; a waiting call is otherwise never woken, and takes the GIL only then.
// Made on first use and kept for the thread's life, so a call pays no system call for it.
class Waker {
 public:
  // This thread's, made if needed. Owner thread only.
  static std::shared_ptr<Waker> OfThisThread();
  // This thread's if it has one (no allocation). Owner thread only.
  static Waker* IfAny() { return Current().get(); }

  ~Waker() {
    watch_.Cancel();
    close(fds_[0]);
    close(fds_[1]);
  }
  Waker(const Waker&) = delete;
  Waker& operator=(const Waker&) = delete;

  int write_fd() const { return fds_[1]; }
  // Any thread. A full pipe already has a wake-up waiting.
  void Wake() const {
    char b = 0;
    [[maybe_unused]] ssize_t n = write(fds_[1], &b, 1);
  }
  // Signals of Python's previous wake-up descriptor (say asyncio's) are passed on to it.
  void ForwardTo(int fd) { forward_fd_ = fd; }
  int forward_fd() const { return forward_fd_; }

 private:
  Waker();
  static std::shared_ptr<Waker>& Current() {
    thread_local std::shared_ptr<Waker> waker;
    thread_local pid_t made_in = 0;
    // A child of fork() shares the parent's pipe and loop: it leaves them alone.
    if (waker && made_in != getpid())
      static_cast<void>(new std::shared_ptr<Waker>(std::move(waker)));
    made_in = getpid();
    return waker;
  }
  void Drain() const;
  static void OnWake();

  int fds_[2] = {-1, -1};
  int forward_fd_ = -1;
  EventLoop::ReadWatch watch_;
};

// Operations waiting on each thread, innermost first, and their progress objects: a Halt from
// another thread finds the waker of the operation's thread here.
struct ActiveWait {
  KORProgress* progress;
  std::shared_ptr<Waker> waker;
};
std::mutex halt_mutex;
std::set<KORProgress*> halt_requests;            // under halt_mutex
std::multimap<KORProgress*, ActiveWait> active;  // under halt_mutex
thread_local int operations_running = 0;

// From any thread. On the operation's own thread (a handler) the halt is made at once; from
// another it is handed over and the operation's thread woken to take it up, so the progress
// object is never written from two threads.
void RequestHalt(KORProgress& progress) {
  {
    std::lock_guard<std::mutex> lock(halt_mutex);
    auto it = active.find(&progress);
    Waker* owner = it != active.end() ? it->second.waker.get() : nullptr;
    bool here = owner != nullptr ? owner == Waker::IfAny() : operations_running > 0;
    if (!here) {
      halt_requests.insert(&progress);
      if (owner != nullptr) owner->Wake();  // under the lock: its entry, and pipe, stay
      return;
    }
  }
  progress.Halt();
}

bool TakeHaltRequest(KORProgress* progress) {
  std::lock_guard<std::mutex> lock(halt_mutex);
  return halt_requests.erase(progress) != 0;
}

// Watches an operation while it waits. When the thread's waker fires it takes up halt requests
// from other threads and asks Python (with the GIL) whether Ctrl-C arrived. On one, the halt is
// requested (the library records "User canceled operation." and ends); a stage that cannot be
// halted is ended at once, and one that does not take the halt up within kHaltGrace is ended
// then. The caller gets the KeyboardInterrupt.
class InterruptWatch {
 public:
  explicit InterruptWatch(KORInterface& itf)
      : itf_(itf), outer_(innermost), waker_(Waker::OfThisThread()) {
    ++operations_running;
    KORProgress* progress = itf_.Progress().get();
    TakeHaltRequest(progress);  // one made before this operation is stale
    std::lock_guard<std::mutex> lock(halt_mutex);
    entry_ = active.emplace(progress, ActiveWait{progress, waker_});
    innermost = this;
  }
  ~InterruptWatch() {
    innermost = outer_;
    --operations_running;
    grace_.Cancel();
    {
      std::lock_guard<std::mutex> lock(halt_mutex);
      active.erase(entry_);
    }
    TakeHaltRequest(itf_.Progress().get());
  }
  InterruptWatch(const InterruptWatch&) = delete;
  InterruptWatch& operator=(const InterruptWatch&) = delete;

  static bool AnyWaiting() { return innermost != nullptr; }
  // Every operation waiting on this thread, the nested ones of handlers included.
  static void CheckAll() {
    for (InterruptWatch* w = innermost; w != nullptr; w = w->outer_) w->Check();
  }

 private:
  static constexpr std::chrono::milliseconds kHaltGrace{50};
  static thread_local InterruptWatch* innermost;

  void Check() {
    // A handler that cannot unwind (an instrument's) failed: end the operation now.
    if (pending_error) throw HandlerFailed();
    auto progress = itf_.Progress();
    // Requests from several threads at once halt the operation once; one made while the stage
    // may not halt is dropped, as the progress object drops it.
    if (TakeHaltRequest(progress.get()) && !halted_ && progress->HaltEnabled()) {
      halted_ = true;
      progress->Halt();
    }
    if (!interrupted_ && PyThread_get_thread_ident() == main_thread_ident) {
      GilForHandler gil;
      if (PyErr_CheckSignals() != 0) {
        KeepPending(py::error_already_set());
        interrupted_ = true;
      }
    }
    if (!interrupted_) return;
    if (!progress->HaltEnabled()) throw HandlerFailed();
    progress->Halt();
    if (!grace_.Pending()) {
      grace_ = EventLoop::ScheduleAfter(kHaltGrace, [] { throw HandlerFailed(); });
    }
  }

  KORInterface& itf_;
  InterruptWatch* outer_;
  std::shared_ptr<Waker> waker_;
  std::multimap<KORProgress*, ActiveWait>::iterator entry_;
  bool interrupted_ = false;
  bool halted_ = false;  // by a request from another thread
  EventLoop::Timer grace_;
};

thread_local InterruptWatch* InterruptWatch::innermost = nullptr;

Waker::Waker() {
  if (pipe2(fds_, O_NONBLOCK | O_CLOEXEC) != 0) {
    throw AutomationError(err::InvalidCall, "KORInterface",
                          std::string("no wake-up pipe: ") + std::strerror(errno));
  }
  watch_ = EventLoop::WatchReadable(fds_[0], &Waker::OnWake);
}

std::shared_ptr<Waker> Waker::OfThisThread() {
  auto& waker = Current();
  if (!waker) waker = std::shared_ptr<Waker>(new Waker());
  return waker;
}

void Waker::Drain() const {
  char buf[64];
  ssize_t n;
  while ((n = read(fds_[0], buf, sizeof buf)) > 0) {
    if (forward_fd_ >= 0) [[maybe_unused]]
      ssize_t w = write(forward_fd_, buf, n);
  }
}

// Outside any operation (EventLoop.RunFor) a signal ends the loop's run at once.
void RaiseSignalsBetweenCalls() {
  if (PyThread_get_thread_ident() != main_thread_ident) return;
  GilForHandler gil;
  if (PyErr_CheckSignals() == 0) return;
  KeepPending(py::error_already_set());
  throw HandlerFailed();
}

void Waker::OnWake() {
  if (Waker* w = IfAny()) w->Drain();
  if (InterruptWatch::AnyWaiting()) {
    InterruptWatch::CheckAll();
  } else {
    RaiseSignalsBetweenCalls();
  }
}

// On the main thread, Python's signal handler writes to the thread's wake-up pipe while a call
// waits (or the loop runs), so Ctrl-C reaches the wait at once; the previous descriptor is put
// back afterwards and gets the signals meanwhile. With the GIL held; nested calls leave it as the
// outer one set it. A signal that came just before is taken up here, before the call starts.
class SignalWake {
 public:
  SignalWake() {
    if (installed || PyThread_get_thread_ident() != main_thread_ident) return;
    waker_ = Waker::OfThisThread();
    previous_ = SetWakeupFd(waker_->write_fd());
    waker_->ForwardTo(previous_);
    installed = true;
    if (PyErr_CheckSignals() != 0) {
      Restore();
      throw py::error_already_set();
    }
  }
  ~SignalWake() {
    try {
      Restore();
    } catch (py::error_already_set& e) {
      e.discard_as_unraisable("restoring the signal wake-up descriptor");
    }
  }
  SignalWake(const SignalWake&) = delete;
  SignalWake& operator=(const SignalWake&) = delete;

 private:
  static inline bool installed = false;  // main thread only

  static int SetWakeupFd(int fd) {
    static py::handle set =
        py::object(py::module_::import("signal").attr("set_wakeup_fd")).release();
    return set(fd, py::arg("warn_on_full_buffer") = false).cast<int>();
  }
  void Restore() {
    if (!waker_) return;
    auto waker = std::move(waker_);
    waker->ForwardTo(-1);
    installed = false;
    SetWakeupFd(previous_);
  }
  std::shared_ptr<Waker> waker_;
  int previous_ = -1;
};

// An error of an operation with the operating system's reason for its link's failure.
struct LinkedAutomationError : AutomationError {
  LinkedAutomationError(const AutomationError& e, std::string reason)
      : AutomationError(e.Number(), e.Source(), e.Description()), link(std::move(reason)) {}
  std::string link;
};

bool IsLinkFailure(int32_t number) {
  switch (number) {
    case err::SerialPortNotFound:
    case err::CouldNotGetCommPort:
    case err::ErrorInitializingCommPort:
    case err::ErrorClosingCommPort:
    case err::CommUnavailable:
    case err::TcpConnectFailed:
    case err::InvalidSocketState:
    case err::RemoteServerClosed:
      return true;
    default:
      return false;
  }
}

// The reason goes with the error when this operation recorded one, or when the error is a
// link's failure (the same reason as last time is not recorded anew).
[[noreturn]] void RethrowWithLinkReason(const AutomationError& e, KORInterface& itf,
                                        const std::string& before) {
  std::string reason;
  try {
    reason = itf.LastLinkError();
  } catch (const AutomationError&) {
  }
  if (reason.empty() || (reason == before && !IsLinkFailure(e.Number()))) throw;
  throw LinkedAutomationError(e, reason);
}

// An operation of `self`: on its thread, without the GIL, watched for Ctrl-C. `self` holds a
// reference so that a handler deleting the last name of the interface cannot free it mid-call.
template <class F>
auto Operation(const py::object& self, F&& f) {
  py::object keep = self;
  auto& owner = keep.cast<PyInterface&>();
  KORInterface& itf = owner.Use();
  struct NotePortState {  // for the check when the interface is freed on another thread
    PyInterface& p;
    ~NotePortState() {
      try {
        p.port_open = p.itf->IsPortOpen();
      } catch (const AutomationError&) {
      }
    }
  } note{owner};
  std::string link_before = itf.LastLinkError();
  SignalWake signals;
  try {
    return Released([&] {
      InterruptWatch watch(itf);
      return f(itf);
    });
  } catch (const LinkedAutomationError&) {
    throw;
  } catch (const AutomationError& e) {
    RethrowWithLinkReason(e, itf, link_before);
  }
}

// Any other call on `self`: on its thread; handlers it raises may fail the same way.
template <class F>
auto Call(const py::object& self, F&& f) {
  py::object keep = self;
  KORInterface& itf = keep.cast<PyInterface&>().Use();
  return Released([&] { return f(itf); });
}

PyEvent EventOf(const py::object& owner, Event& event, std::thread::id thread) {
  return PyEvent{owner, &event, thread};
}

// The library ignores a put of a link setting while the port is open, and of some GPIB
// settings while an operation runs; from Python such a change is refused instead of lost.
enum class Guard { kNone, kOpen, kBusy };

void RefuseChangeNow(KORInterface& i, Guard guard, const char* name) {
  if (guard == Guard::kOpen && i.IsPortOpen()) {
    throw AutomationError(err::InvalidCall, "KORInterface",
                          std::string(name) +
                              " cannot change while the port is open: close the port first "
                              "(closePort()), then set it.");
  }
  if (guard == Guard::kBusy && i.Busy()) {
    throw AutomationError(
        err::InterfaceBusy, "KORInterface",
        std::string(name) + " cannot change while an operation runs: set it between calls.");
  }
}

template <class T>
T AsIs(T v) {
  return v;
}

// Registers a setting: get and put, the put converting and checking with a clear message.
#define PARLEY_SETTING(cls, name, convert, guard, wrap)                    \
  cls.def_property(                                                        \
      #name,                                                               \
      [](const py::object& self) {                                         \
        return wrap(Call(self, [](KORInterface& i) { return i.name(); })); \
      },                                                                   \
      [](const py::object& self, const py::object& v) {                    \
        auto value = convert(v, #name);                                    \
        Call(self, [&](KORInterface& i) {                                  \
          if (i.name() != value) RefuseChangeNow(i, Guard::guard, #name);  \
          i.name(value);                                                   \
        });                                                                \
      })
#define PARLEY_INT_SETTING(cls, name, convert, guard) \
  PARLEY_SETTING(cls, name, convert, guard, AsIs)
#define PARLEY_TEXT_SETTING(cls, name, convert, guard) \
  PARLEY_SETTING(cls, name, convert, guard, Latin1)

// One-string addresses: the parsed form, applying one to an interface, and the listing.
void DefineAddresses(py::module_& m) {
  py::class_<Address>(m, "Address")
      .def_readonly("mode", &Address::mode)
      .def_readonly("plain_instrument", &Address::plain_instrument)
      .def_readonly("comm_port", &Address::comm_port)
      .def_property_readonly("device_path", [](const Address& a) { return Latin1(a.device_path); })
      .def_readonly("gpib_board", &Address::gpib_board)
      .def_readonly("gpib_address", &Address::gpib_address)
      .def_property_readonly("host", [](const Address& a) { return Latin1(a.host); })
      .def_readonly("tcp_port", &Address::tcp_port)
      .def("__eq__", [](const Address& a, const Address& b) { return a == b; })
      .def("__str__", [](const Address& a) { return Latin1(FormatAddress(a)); })
      .def("__repr__",
           [](const Address& a) { return Latin1("ParseAddress('" + FormatAddress(a) + "')"); });
  m.def(
      "ParseAddress",
      [](const py::object& text) { return ParseAddress(ToPathText(text, "address")); },
      py::arg("address"));
  m.def(
      "ApplyAddress",
      [](const py::object& itf, const py::object& text) {
        Address parsed = ParseAddress(ToPathText(text, "address"));
        Call(itf, [&](KORInterface& i) { ApplyAddress(i, parsed); });
      },
      py::arg("interface"), py::arg("address"));
  m.def("ListResources", [] {
    std::vector<py::str> out;
    for (const auto& a : ListResources()) out.push_back(Latin1(a));
    return out;
  });
}

}  // namespace

PYBIND11_MODULE(_parley, m) {
  main_thread_ident =
      py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
  m.doc() = "Command/response transactions with remote test units and GPIB instruments.";

  // --- errors --------------------------------------------------------------------------------
  // AutomationError is a Python class (so that it can subclass RuntimeError); the translator
  // fills number, source and description.
  py::object builtins = py::module_::import("builtins");
  py::dict ns;
  py::exec(R"py(
class AutomationError(RuntimeError):
    """An error of the library: number (the unsigned 32-bit error number, 0x80047F7A for
    parley.err.UserCanceled), source (where it arose), description (the message) and
    link_error (the operating system's reason where a link failed: the device or host and
    why; "" otherwise). str() tells all of them, the number in hex."""

    _names = {}  # number -> name in parley.err, filled at import

    def __init__(self, number, source, description, link_error=""):
        super().__init__(description)
        self.number = number & 0xFFFFFFFF  # a signed int32 as the library's unsigned number
        self.source = source
        self.description = description
        self.link_error = link_error

    @property
    def name(self):
        """The number's name in parley.err ("UserCanceled"), or "" if it has none."""
        return self._names.get(self.number, "")

    def __str__(self):
        name = self.name
        text = "0x%08X%s: %s" % (self.number, " " + name if name else "", self.description)
        if self.source:
            text += " (from %s)" % self.source
        if self.link_error:
            text += "; link: " + self.link_error
        return text

    def __repr__(self):
        return "AutomationError(0x%08X, %r, %r%s)" % (
            self.number, self.source, self.description,
            ", %r" % self.link_error if self.link_error else "")
)py",
           builtins.attr("__dict__"), ns);
  py::object automation_error = ns["AutomationError"];
  automation_error.attr("__module__") = "parley";
  m.attr("AutomationError") = automation_error;
  static py::handle error_class = automation_error.inc_ref();
  py::register_exception_translator([](std::exception_ptr p) {
    auto raise = [](const AutomationError& e, const std::string& link) {
      py::object err = error_class(static_cast<uint32_t>(e.Number()), Latin1(e.Source()),
                                   Latin1(e.Description()), Latin1(link));
      PyErr_SetObject(error_class.ptr(), err.ptr());
    };
    try {
      if (p) std::rethrow_exception(p);
    } catch (const LinkedAutomationError& e) {
      raise(e, e.link);
    } catch (const AutomationError& e) {
      raise(e, "");
    }
  });

  // Error numbers as the catalogue has them (unsigned), each with its name and message.
  py::module_ errs = m.def_submodule(
      "err", "Error numbers by name; messages and names map each number to its text and name.");
  py::dict messages, names;
  auto add_error = [&](const char* name, int32_t number) {
    auto n = static_cast<uint32_t>(number);
    errs.attr(name) = n;
    names[py::int_(n)] = name;
    messages[py::int_(n)] = Latin1(std::string(CatalogueMessage(number)));
  };
#define PARLEY_ERROR_CONSTANT(name, number, message) add_error(#name, static_cast<int32_t>(number));
  PARLEY_ERROR_TABLE(PARLEY_ERROR_CONSTANT)
#undef PARLEY_ERROR_CONSTANT
  add_error("InvalidCall", err::InvalidCall);
  add_error("Overflow", err::Overflow);
  add_error("SubscriptOutOfRange", err::SubscriptOutOfRange);
  add_error("InvalidPropertyValue", err::InvalidPropertyValue);
  errs.attr("messages") = messages;
  errs.attr("names") = names;
  automation_error.attr("_names") = names;
  // Either form of a number: the unsigned one, or the signed int32 of older code.
  auto error_number = [](py::handle n) {
    return static_cast<int32_t>(static_cast<uint32_t>(ToInt(
        n, "number", std::numeric_limits<int32_t>::min(), std::numeric_limits<uint32_t>::max())));
  };
  m.def("CatalogueMessage", [error_number](py::handle n) {
    return Latin1(std::string(CatalogueMessage(error_number(n))));
  });
  m.def("ErrorName",
        [error_number](py::handle n) { return std::string(ErrorName(error_number(n))); });

  // --- enumerations: each as a class with its members, and every member at module level ----
  auto enumeration = [&m](const char* name, std::vector<std::pair<const char*, int32_t>> items) {
    py::dict members;
    for (auto& [k, v] : items) {
      members[k] = v;
      m.attr(k) = v;
    }
    m.attr(name) =
        py::module_::import("enum").attr("IntEnum")(name, members, py::arg("module") = "parley");
  };
#define E(x) {#x, x}
  enumeration("CommModes",
              {E(korCommModeCRLFtoGPIB), E(korCommModeCRLFDirect), E(korCommModeGPIBDirect),
               E(korCommModeGPIBInOut), E(korCommModeEther)});
  {
    std::vector<std::pair<const char*, int32_t>> ports;
    static const char* names[] = {
        "korCommPort1",  "korCommPort2",  "korCommPort3",  "korCommPort4",
        "korCommPort5",  "korCommPort6",  "korCommPort7",  "korCommPort8",
        "korCommPort9",  "korCommPort10", "korCommPort11", "korCommPort12",
        "korCommPort13", "korCommPort14", "korCommPort15", "korCommPort16"};
    for (int i = 0; i < 16; ++i) ports.emplace_back(names[i], korCommPort1 + i);
    enumeration("CommPorts", ports);
    std::vector<std::pair<const char*, int32_t>> addrs;
    static const std::vector<std::string> addr_names = [] {
      std::vector<std::string> v;
      for (int i = 1; i <= 30; ++i) v.push_back("korGPIBAddr" + std::to_string(i));
      return v;
    }();
    for (int i = 0; i < 30; ++i) addrs.emplace_back(addr_names[i].c_str(), korGPIBAddr1 + i);
    enumeration("GPIBAddresses", addrs);
  }
  enumeration("BitRates", {E(korBitRate1200bps), E(korBitRate2400bps), E(korBitRate4800bps),
                           E(korBitRate9600bps), E(korBitRate19200bps), E(korBitRate38400bps),
                           E(korBitRate115200bps)});
  enumeration("ParityValues", {E(korParityNone), E(korParityOdd), E(korParityEven)});
  enumeration("DataBitValues", {E(korDataBits7), E(korDataBits8)});
  enumeration("StopBitValues", {E(korStopBits1), E(korStopBits2)});
  enumeration("ITCValues", {E(korITC_EOI), E(korITC_CR), E(korITC_LF), E(korITC_CRLF)});
  enumeration("TimeoutValues",
              {E(korShort), E(korMedium), E(korLong), E(korVeryLong), E(korSuperLong)});
  enumeration("korWnskPortNumers", {E(WnskMinRemotePortNumber), E(korWnskRemotePortNumber1),
                                    E(WnskMaxRemotePortNumber)});
  enumeration("enumErrorAction", {E(ActionResume), E(ActionResumeNext), E(ActionUnrecoverable),
                                  E(ActionUnrecognized), E(ActionRaise)});
  enumeration("korDBOperations", {E(korDBRead), E(korDBSendAndWrite), E(korDBWrite)});
#undef E

  // --- events --------------------------------------------------------------------------------
  py::class_<Connection>(m, "Connection", "A handler's connection to an event.")
      .def("disconnect", &Connection::disconnect)
      .def_property_readonly("connected", &Connection::connected);
  py::class_<PyEvent>(m, "Event", "An event: connect(callable) runs the callable on each raise.")
      .def(
          "connect",
          [](PyEvent& e, const py::object& handler) {
            if (std::this_thread::get_id() != e.thread) WrongThread("An event");
            return e.event->connect(MakeHandler(handler));
          },
          py::arg("handler"))
      .def_property_readonly("handler_count", [](PyEvent& e) { return e.event->handler_count(); });

  // --- progress ------------------------------------------------------------------------------
  py::class_<KORProgress, std::shared_ptr<KORProgress>>(
      m, "KORProgress", CollectedType<TraverseProgress, ClearProgress>())
      .def(py::init<>())
      .def_property_readonly("max", &KORProgress::max)
      .def_property_readonly("Value", &KORProgress::Value)
      .def_property_readonly("status", [](KORProgress& p) { return Latin1(p.status()); })
      .def_property_readonly("HaltEnabled", &KORProgress::HaltEnabled)
      .def("Halt", &RequestHalt,
           "Asks the running stage to stop (ignored while HaltEnabled is false). From another "
           "thread the operation's own thread is woken and takes the request up at once.")
      .def_property_readonly("Update",
                             [](py::object self) {
                               auto& p = self.cast<KORProgress&>();
                               return EventOf(self, p.Update, std::this_thread::get_id());
                             })
      .def_property_readonly("HaltAck", [](py::object self) {
        auto& p = self.cast<KORProgress&>();
        return EventOf(self, p.HaltAck, std::this_thread::get_id());
      });

  // --- transaction ---------------------------------------------------------------------------
  py::class_<KORTransaction>(m, "KORTransaction")
      .def(py::init<>())
      .def_property(
          "cmd", [](KORTransaction& t) { return Latin1(t.cmd()); },
          [](KORTransaction& t, const py::object& v) { t.cmd(ToBytes(v, "cmd")); })
      .def_property(
          "RespTimeout", [](KORTransaction& t) { return t.RespTimeout(); },
          [](KORTransaction& t, const py::object& v) { t.RespTimeout(ToInt32(v, "RespTimeout")); })
      .def_property(
          "RespTimeoutMs", [](KORTransaction& t) { return t.RespTimeoutMs(); },
          [](KORTransaction& t, const py::object& v) {
            t.RespTimeoutMs(ToInt32(v, "RespTimeoutMs"));
          })
      .def_property(
          "DeadlineMs", [](KORTransaction& t) { return t.DeadlineMs(); },
          [](KORTransaction& t, const py::object& v) { t.DeadlineMs(ToInt32(v, "DeadlineMs")); })
      .def_property(
          "RespExpect", [](KORTransaction& t) { return t.RespExpect(); },
          [](KORTransaction& t, const py::object& v) { t.RespExpect(ToBool(v, "RespExpect")); })
      .def_property(
          "IsCmdTypeString", [](KORTransaction& t) { return t.IsCmdTypeString(); },
          [](KORTransaction& t, const py::object& v) {
            t.IsCmdTypeString(ToBool(v, "IsCmdTypeString"));
          })
      .def_property_readonly("resp", [](KORTransaction& t) { return Latin1(t.resp()); })
      .def_property_readonly("resp_bytes", [](KORTransaction& t) { return py::bytes(t.resp()); })
      .def_property_readonly("InComm", [](KORTransaction& t) { return t.InComm(); })
      .def_property(
          "ByteCmd",
          [](KORTransaction& t) {
            std::vector<uint8_t> v;
            t.GetByteArr(v);
            return Bytes(v);
          },
          [](KORTransaction& t, const py::object& v) { t.ByteCmd(ToByteVector(v, "ByteCmd")); })
      .def("SetByteArr", [](KORTransaction& t,
                            const py::object& v) { t.SetByteArr(ToByteVector(v, "SetByteArr")); })
      .def("GetByteArr",
           [](KORTransaction& t) {
             std::vector<uint8_t> v;
             t.GetByteArr(v);
             return Bytes(v);
           })
      .def_property_readonly("ByteArrToString",
                             [](KORTransaction& t) { return Latin1(t.ByteArrToString()); })
      .def_property_readonly("ByteArrLen", [](KORTransaction& t) { return t.ByteArrLen(); })
      .def("GetByteArrResp",
           [](KORTransaction& t) {
             std::vector<uint8_t> v;
             t.GetByteArrResp(v);
             return Bytes(v);
           })
      .def_property_readonly("ByteArrRespStrVal",
                             [](KORTransaction& t) { return Latin1(t.ByteArrRespStrVal()); });

  // --- interface -----------------------------------------------------------------------------
  py::class_<PyInterface> itf(m, "KORInterface",
                              CollectedType<TraverseInterface, ClearInterface>());
  itf.def(py::init<>())
      .def("openPort",
           [](const py::object& s) { Operation(s, [](KORInterface& i) { i.openPort(); }); })
      .def("closePort",
           [](const py::object& s) { Operation(s, [](KORInterface& i) { i.closePort(); }); })
      .def_property_readonly(
          "Busy",
          [](const py::object& s) { return Call(s, [](KORInterface& i) { return i.Busy(); }); })
      .def_property_readonly(
          "LastLinkError",
          [](const py::object& s) {
            return Latin1(Call(s, [](KORInterface& i) { return i.LastLinkError(); }));
          })
      .def_property_readonly("IsPortOpen",
                             [](const py::object& s) {
                               return Call(s, [](KORInterface& i) { return i.IsPortOpen(); });
                             })
      .def_property(
          "Progress",
          [](const py::object& s) {
            auto& p = s.cast<PyInterface&>();
            if (std::this_thread::get_id() != p.owner) return p.progress;  // to Halt() it
            p.progress = Call(s, [](KORInterface& i) { return i.Progress(); });
            return p.progress;
          },
          [](const py::object& s, std::shared_ptr<KORProgress> p) {
            if (!p) throw py::type_error("Progress expects a KORProgress, not None");
            Call(s, [&](KORInterface& i) { i.Progress(p); });
            s.cast<PyInterface&>().progress = std::move(p);
          })
      .def(
          "Transact",
          [](const py::object& s, KORTransaction& t) {
            Operation(s, [&](KORInterface& i) { i.Transact(t); });
          },
          py::arg("transaction"))
      .def(
          "GetTransact",
          [](const py::object& s, KORTransaction& t) {
            Operation(s, [&](KORInterface& i) { i.GetTransact(t); });
          },
          py::arg("transaction"))
      .def("Spoll",
           [](const py::object& s) {
             return Operation(s, [](KORInterface& i) {
               int16_t v = 0;
               i.Spoll(v);
               return v;
             });
           })
      .def("RemoteEnable",
           [](const py::object& s) { Operation(s, [](KORInterface& i) { i.RemoteEnable(); }); })
      .def("GPIBClose",
           [](const py::object& s) { Operation(s, [](KORInterface& i) { i.GPIBClose(); }); })
      .def("GPIBInOutValidateTrans",
           [](const py::object& s, KORTransaction& t) {
             Call(s, [&](KORInterface& i) { i.GPIBInOutValidateTrans(t); });
           })
      .def("ReceivedStringBuffer",
           [](const py::object& s) {
             return Latin1(Call(s, [](KORInterface& i) { return i.ReceivedStringBuffer(); }));
           })
      .def("ReceivedByteArrBuffer",
           [](const py::object& s) {
             return Bytes(Call(s, [](KORInterface& i) {
               std::vector<uint8_t> v;
               i.ReceivedByteArrBuffer(v);
               return v;
             }));
           })
      .def("ClearResponseArray",
           [](const py::object& s) { Call(s, [](KORInterface& i) { i.ClearResponseArray(); }); })
      .def("DebugMonitorOn",
           [](const py::object& s) { Call(s, [](KORInterface& i) { i.DebugMonitorOn(); }); })
      .def("DebugMonitorOff",
           [](const py::object& s) { Call(s, [](KORInterface& i) { i.DebugMonitorOff(); }); })
      .def("DebugBuffSizeGet",
           [](const py::object& s) {
             return Call(s, [](KORInterface& i) { return i.DebugBuffSizeGet(); });
           })
      .def("DebugBuffSizeSet",
           [](const py::object& s, const py::object& v) {
             int32_t n = ToInt32(v, "DebugBuffSizeSet");
             Call(s, [&](KORInterface& i) { i.DebugBuffSizeSet(n); });
           })
      .def("DebugBuffGet",
           [](const py::object& s) {
             return Latin1(Call(s, [](KORInterface& i) { return i.DebugBuffGet(); }));
           })
      .def("DebugBuffClear",
           [](const py::object& s) { Call(s, [](KORInterface& i) { i.DebugBuffClear(); }); })
      .def("DebugMonitorShow",
           [](const py::object& s) { Call(s, [](KORInterface& i) { i.DebugMonitorShow(); }); })
      .def("DebugMonitorHide",
           [](const py::object& s) { Call(s, [](KORInterface& i) { i.DebugMonitorHide(); }); })
      .def_property_readonly("DebugMonitorVisible",
                             [](const py::object& s) {
                               return Call(s,
                                           [](KORInterface& i) { return i.DebugMonitorVisible(); });
                             })
      .def_property_readonly("portReset",
                             [](const py::object& s) {
                               auto& p = s.cast<PyInterface&>();
                               return EventOf(s, p.Use().portReset, p.owner);
                             })
      .def_property_readonly("debugMonUpdate", [](const py::object& s) {
        auto& p = s.cast<PyInterface&>();
        return EventOf(s, p.Use().debugMonUpdate, p.owner);
      });
  PARLEY_INT_SETTING(itf, commMode, CommModeValue, kOpen);
  PARLEY_INT_SETTING(itf, CommPort, CommPortValue, kOpen);
  PARLEY_INT_SETTING(itf, BitRate, BitRateValue, kOpen);
  PARLEY_INT_SETTING(itf, Parity, ParityValue, kOpen);
  PARLEY_INT_SETTING(itf, DataBits, DataBitsValue, kOpen);
  PARLEY_INT_SETTING(itf, StopBits, StopBitsValue, kOpen);
  PARLEY_INT_SETTING(itf, GPIBAddress, GpibAddressValue, kOpen);
  PARLEY_INT_SETTING(itf, ITC, ItcValue, kOpen);
  PARLEY_INT_SETTING(itf, DTO, ToInt16, kOpen);
  PARLEY_INT_SETTING(itf, IdleSPoll, ToInt16, kOpen);
  PARLEY_INT_SETTING(itf, MAVSPoll, ToInt16, kOpen);
  PARLEY_INT_SETTING(itf, GPIBDirectMaxRespLength, MaxRespLengthValue, kNone);
  PARLEY_INT_SETTING(itf, UseSRQ, ToBool, kBusy);
  PARLEY_INT_SETTING(itf, EABOExpected, ToBool, kBusy);
  PARLEY_INT_SETTING(itf, SkipIBClr, ToBool, kBusy);
  PARLEY_INT_SETTING(itf, RemoveExtraChar, ToBool, kNone);
  PARLEY_INT_SETTING(itf, DelayGPIBTrans, ToBool, kNone);
  PARLEY_INT_SETTING(itf, WaitForMAVbitClear, ToBool, kNone);
  PARLEY_INT_SETTING(itf, RaiseEtherPortResetErr, ToBool, kNone);
  PARLEY_INT_SETTING(itf, VerifyEcho, ToBool, kNone);
  PARLEY_INT_SETTING(itf, PlainInstrument, ToBool, kOpen);
  PARLEY_TEXT_SETTING(itf, CmdTerm, ToBytes, kOpen);
  PARLEY_TEXT_SETTING(itf, RespTerm, ToBytes, kOpen);
  PARLEY_TEXT_SETTING(itf, RemoteHostIpAddress, ToPathText, kNone);
  PARLEY_TEXT_SETTING(itf, RemotePortNumber, ToPortText, kNone);
  PARLEY_TEXT_SETTING(itf, DevicePath, ToPathText, kOpen);
  itf.def_property(
      "TimeDelayForMAVbit",
      [](const py::object&) -> py::object {
        throw py::attribute_error("TimeDelayForMAVbit can only be set");
      },
      [](const py::object& s, const py::object& v) {
        double d = ToDouble(v, "TimeDelayForMAVbit");
        if (!(d >= 0 && d <= kLongestMavDelay)) {
          throw py::value_error("TimeDelayForMAVbit expects 0 to 3 seconds, not " +
                                std::string(py::repr(v)));
        }
        Call(s, [&](KORInterface& i) { i.TimeDelayForMAVbit(d); });
      });

  // --- serial ports, GPIB driver, connection manager -----------------------------------------
  m.def(
      "MapSerialPort",
      [](const py::object& port, const py::object& path) {
        MapSerialPort(ToInt32(port, "port"), ToPathText(path, "device_path"));
      },
      py::arg("port"), py::arg("device_path"));
  m.def("SerialDevicePath",
        [](const py::object& port) { return Latin1(SerialDevicePath(ToInt32(port, "port"))); });
  DefineAddresses(m);
  m.def("UseSystemGpibLibrary", &UseSystemGpibLibrary);
  m.def("UseGpibLibrary", [](const py::object& path) { UseGpibLibrary(ToPathText(path, "path")); });
  m.def("UseSimulatedGpibBus", &UseSimulatedGpibBus, py::arg("bus"));
  m.def("GpibLibraryLoadError", [] { return Latin1(GpibLibraryLoadError()); });
  m.attr("kSystemGpibLibrary") = kSystemGpibLibrary;

  py::class_<GpibCall>(m, "GpibCall")
      .def_readonly("name", &GpibCall::name)
      .def_property_readonly("text", [](GpibCall& c) { return Latin1(c.text); })
      .def_readonly("at", &GpibCall::at);
  py::class_<SimulatedInstrument>(m, "SimulatedInstrument")
      .def_property_readonly("Address", &SimulatedInstrument::Address)
      .def("Reply",
           [](SimulatedInstrument& i, const py::object& cmd, const py::object& reply) {
             auto c = ToBytes(cmd, "command");
             auto r = ToBytes(reply, "reply");
             WithoutGil([&] { return i.Reply(c, r); });
           })
      .def("OnCommand",
           [](SimulatedInstrument& i, const py::object& handler) {
             auto callable = std::make_shared<PyCallable>(RequireCallable(handler, "OnCommand"));
             // Runs inside a driver call: a Python failure cannot unwind through the bus, so it
             // answers nothing and the exception reaches the caller when the operation ends.
             auto answer = [callable](const std::string& cmd) -> std::optional<std::string> {
               if (MayNotTakeGil()) return std::nullopt;
               GilForHandler gil;
               if (pending_error) return std::nullopt;
               try {
                 py::object r = py::handle(callable->get())(Latin1(cmd));
                 if (r.is_none()) return std::nullopt;
                 return ToBytes(r, "OnCommand result");
               } catch (py::error_already_set& e) {
                 KeepPending(std::move(e));
               } catch (const std::exception& e) {
                 PyErr_SetString(PyExc_TypeError, e.what());
                 KeepPending(py::error_already_set());
               }
               // The operation's wait ends when its thread's waker fires.
               if (Waker* w = Waker::IfAny()) w->Wake();
               return std::nullopt;
             };
             WithoutGil([&] { i.OnCommand(answer); });
           })
      .def("ResponseDelay",
           [](SimulatedInstrument& i, const py::object& v) {
             double d = ToDouble(v, "seconds");
             if (!(d >= 0 && d <= kLongestResponseDelay)) {
               throw py::value_error("seconds expects 0 to " +
                                     std::to_string(static_cast<int>(kLongestResponseDelay)) +
                                     ", not " + std::string(py::repr(v)));
             }
             WithoutGil([&] { return i.ResponseDelay(d); });
           })
      .def("Busy", NoGil(&SimulatedInstrument::Busy))
      .def("StatusBits", NoGil(&SimulatedInstrument::StatusBits))
      .def("QueueReply",
           [](SimulatedInstrument& i, const py::object& reply) {
             auto r = ToBytes(reply, "reply");
             WithoutGil([&] { return i.QueueReply(r); });
           })
      .def("DiscardOutput", NoGil(&SimulatedInstrument::DiscardOutput))
      .def("StatusByte", NoGil(&SimulatedInstrument::StatusByte))
      .def("Received",
           [](SimulatedInstrument& i) {
             std::vector<std::string> v = WithoutGil([&] { return i.Received(); });
             py::list out;
             for (auto& s : v) out.append(Latin1(s));
             return out;
           })
      .def("Unread",
           [](SimulatedInstrument& i) { return Latin1(WithoutGil([&] { return i.Unread(); })); })
      .def("ServiceRequestEnable", NoGil(&SimulatedInstrument::ServiceRequestEnable));
  py::class_<SimulatedGpibBus>(m, "SimulatedGpibBus")
      .def(py::init<>())
      .def(
          "AddInstrument",
          [](SimulatedGpibBus& b, const py::object& a) {
            int address = static_cast<int>(ToInt(a, "address", 0, 30));
            return WithoutGil([&] { return b.AddInstrument(address); });
          },
          py::arg("address"))
      .def(
          "InjectError",
          [](SimulatedGpibBus& b, const std::string& call, const py::object& iberr,
             const py::object& times) {
            RequireDriverCallName(call);
            int32_t e = ToInt32(iberr, "iberr");
            int32_t n = ToInt32(times, "times");
            WithoutGil([&] { b.InjectError(call, e, n); });
          },
          py::arg("call"), py::arg("iberr"), py::arg("times") = 1)
      .def("ClearInjectedErrors", NoGil(&SimulatedGpibBus::ClearInjectedErrors))
      .def("QueueRegistrationResult", NoGil(&SimulatedGpibBus::QueueRegistrationResult))
      .def("Calls", NoGil(&SimulatedGpibBus::Calls))
      .def("CallNames", NoGil(&SimulatedGpibBus::CallNames), py::arg("with_registration") = false)
      .def("ClearCalls", NoGil(&SimulatedGpibBus::ClearCalls))
      .def_property_readonly("BoardOnline", NoGil(&SimulatedGpibBus::BoardOnline))
      .def_property_readonly("OnlineDevices", NoGil(&SimulatedGpibBus::OnlineDevices))
      .def_property_readonly("RemoteEnableAsserted",
                             NoGil(&SimulatedGpibBus::RemoteEnableAsserted));

  py::class_<PortConnection, PyPortConnection, std::shared_ptr<PortConnection>>(
      m, "PortConnection",
      "Subclass it: PortLocked() -> bool, RequestPort(); raise NotifySignal and NotifyReset "
      "with RaiseNotifySignal() and RaiseNotifyReset().")
      .def(py::init<>())
      .def("PortLocked", &PortConnection::PortLocked)
      .def("RequestPort", &PortConnection::RequestPort)
      .def("RaiseNotifySignal",
           [](PortConnection& c) { Released([&] { Own(c).RaiseNotifySignalPublic(); }); })
      .def("RaiseNotifyReset",
           [](PortConnection& c) { Released([&] { Own(c).RaiseNotifyResetPublic(); }); });
  py::class_<ConnectionManager, PyConnectionManager, std::shared_ptr<ConnectionManager>>(
      m, "ConnectionManager", "Subclass it: GetConnection(port) -> PortConnection.")
      .def(py::init<>())
      .def("GetConnection", &ConnectionManager::GetConnection);
  m.def(
      "UseConnectionManager",
      [](const py::object& factory) {
        if (factory.is_none()) {
          UseConnectionManager({});
          return;
        }
        auto callable =
            std::make_shared<PyCallable>(RequireCallable(factory, "UseConnectionManager"));
        UseConnectionManager([callable]() -> std::shared_ptr<ConnectionManager> {
          GilForHandler gil;
          try {
            py::object made = py::handle(callable->get())();
            if (!py::isinstance<ConnectionManager>(made)) {
              throw AutomationError(err::InvalidCall, "ConnectionManager",
                                    "the connection manager factory must return a "
                                    "ConnectionManager");
            }
            return HoldPython<ConnectionManager>(made);
          } catch (py::error_already_set& e) {
            KeepPending(std::move(e));
            throw HandlerFailed();
          }
        });
      },
      py::arg("factory"),
      "Chooses the connection manager openPort creates on the calling thread; None restores "
      "the in-process one.");
  m.def("MakeInProcessConnectionManager", &MakeInProcessConnectionManager);

  // The loop between calls: idle events (portReset, the connection manager's notices) arrive
  // here.
  py::class_<PyEventLoop>(m, "EventLoop", "The calling thread's event loop.")
      .def_static(
          "Poll", [] { Released([] { EventLoop::Poll(); }); },
          "Runs every handler that is ready now; never blocks.")
      .def_static(
          "RunFor",
          [](py::handle ms) {
            auto duration = std::chrono::milliseconds(ToInt(ms, "RunFor", 0, kMaxRunForMs));
            SignalWake signals;  // Ctrl-C ends the run at once
            Released([&] { EventLoop::RunFor(duration); });
          },
          py::arg("ms"), "Runs handlers as they become ready for ms milliseconds.");

  m.attr("version") = PARLEY_VERSION;
}

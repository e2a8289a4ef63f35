// The library's private doors into the public objects (internal operations clients can't reach).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "parley/errors.hpp"
#include "parley/event.hpp"
#include "parley/progress.hpp"
#include "parley/transaction.hpp"

namespace parley::detail {

// Source of errors raised inside the library when no more precise one applies.
inline constexpr const char* kLibrarySource = "Parley";
// Description of an error raised straight to the caller, without the catalogue.
inline constexpr std::string_view kDefaultDescription =
    "Application-defined or object-defined error.";
AutomationError DirectError(int32_t number, std::string source);

struct EventAccess {
  static void Raise(Event& event) { event.raise(); }
};

struct TransactionAccess {
  static void SetResp(KORTransaction& t, std::string text) { t.resp_ = std::move(text); }
  static void SetInComm(KORTransaction& t, bool value) { t.in_comm_ = value; }
  static void Claim(KORTransaction& t) { t.owner_.Claim(); }
  // Puts "*SRE 16;" before a command that lacks "*RST" (case-sensitive); true when it did.
  static bool PrefixSRE(KORTransaction& t);
  // Ignored unless the record is in flight.
  static void SetByteArrResp(KORTransaction& t, const std::vector<uint8_t>& bytes);
};

struct ProgressAccess {
  static void SetMax(KORProgress& p, int16_t v) { p.max_ = v; }
  static void SetValue(KORProgress& p, int16_t v) { p.value_ = v; }
  // Assigned in place: a stage text reuses the room of the one before, so no allocation.
  static void SetStatus(KORProgress& p, std::string_view v) { p.status_.assign(v); }
  static void SetHaltEnabled(KORProgress& p, bool v) { p.halt_enabled_ = v; }
  static bool HaltRequested(const KORProgress& p) { return p.halt_requested_; }
  // Clears the request first, so a HaltAck handler already sees it cleared.
  static void AckHalt(KORProgress& p) {
    p.halt_requested_ = false;
    EventAccess::Raise(p.HaltAck);
  }
  static void RaiseUpdate(KORProgress& p) { EventAccess::Raise(p.Update); }
  static void Claim(KORProgress& p) { p.owner_.Claim(); }
};

struct ErrorAccess {
  static void Rewrite(AutomationError& e, std::string source, std::string description) {
    e.source_ = std::move(source);
    e.description_ = std::move(description);
  }
};

}  // namespace parley::detail

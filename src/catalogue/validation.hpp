// Per-mode checks of the settings and the transaction, run before anything is sent. Each
// raises the number of its first failing check, without a message of its own (the catalogue
// attaches it on the caller's error path).
#pragma once

#include "model/settings.hpp"
#include "parley/transaction.hpp"

namespace parley::detail {

void CRLFDirectValidateTrans(const Settings& s, const KORTransaction& t);
void CRLFtoGPIBValidateTrans(const Settings& s, const KORTransaction& t);
void GPIBDirectValidateTrans(const Settings& s, const KORTransaction& t);
void GPIBInOutValidateTrans(const Settings& s, const KORTransaction& t);
void EtherValidateTrans(const Settings& s, const KORTransaction& t);

}  // namespace parley::detail

#include "gpib/fake_libgpib.hpp"

#include <string>

namespace {
FakeGpibHooks g_hooks{};
thread_local int32_t t_ibsta = 0;
thread_local int32_t t_iberr = 0;
thread_local int32_t t_ibcntl = 0;

// Keeps the call's status where ThreadIbsta and friends read it, as the system library does.
int Refresh(const parley::detail::DriverCall& call) {
  t_ibsta = call.ibsta;
  t_iberr = call.iberr;
  t_ibcntl = call.ibcntl;
  return call.result;
}
parley::detail::GpibDriver& D() { return *g_hooks.driver; }
}  // namespace

extern "C" {
void parley_fake_gpib_install(const FakeGpibHooks* hooks) { g_hooks = *hooks; }

int ibfind(const char* name) { return Refresh(D().ibfind(name)); }
int ibconfig(int ud, int option, int value) { return Refresh(D().ibconfig(ud, option, value)); }
int ibdev(int board, int pad, int sad, int tmo, int eot, int eos) {
  return Refresh(D().ibdev(board, pad, sad, tmo, eot, eos));
}
int ibclr(int ud) { return Refresh(D().ibclr(ud)); }
int ibonl(int ud, int online) { return Refresh(D().ibonl(ud, online)); }
int ibwrt(int ud, const void* data, long count) {
  return Refresh(D().ibwrt(ud, static_cast<const char*>(data), static_cast<int32_t>(count)));
}
int ibrd(int ud, void* buffer, long count) {
  return Refresh(D().ibrd(ud, static_cast<char*>(buffer), static_cast<int32_t>(count)));
}
int ibrsp(int ud, char* status_byte) { return Refresh(D().ibrsp(ud, status_byte)); }
int ibsre(int ud, int value) { return Refresh(D().ibsre(ud, value)); }
int ibwait(int ud, int mask) { return Refresh(D().ibwait(ud, mask)); }
int ThreadIbsta() { return t_ibsta; }
int ThreadIberr() { return t_iberr; }
int ThreadIbcnt() { return t_ibcntl; }
long ThreadIbcntl() { return t_ibcntl; }
}

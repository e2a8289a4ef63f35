// A child of fork(): its own loop, and the parent's objects refused without being touched.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "host/host.hpp"
#include "parley/errors.hpp"
#include "parley/interface.hpp"
#include "parley/loop.hpp"

namespace parley {
namespace {

// Runs `child` in a forked process; its return value is the exit status the test sees.
int InChild(const std::function<int()>& child) {
  pid_t pid = fork();
  if (pid == 0) _exit(child());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

bool RefusedAsForked(const std::function<void()>& call) {
  try {
    call();
  } catch (const AutomationError& e) {
    return e.Number() == err::InvalidCall &&
           e.Description().find("before fork()") != std::string::npos;
  }
  return false;
}

TEST(Fork, TheChildGetsItsOwnLoop) {
  detail::Host* parent = &detail::CurrentHost();
  EXPECT_EQ(0, InChild([&] {
              if (&detail::CurrentHost() == parent) return 1;
              EventLoop::Poll();  // waits on its own loop, not the shared one
              return 0;
            }));
  EXPECT_EQ(parent, &detail::CurrentHost());
}

TEST(Fork, ObjectsOfTheParentAreRefusedInTheChild) {
  auto before = std::make_unique<KORInterface>();
  before->commMode(korCommModeEther);
  EXPECT_EQ(0, InChild([&] {
              if (!RefusedAsForked([&] { before->commMode(korCommModeCRLFDirect); })) return 1;
              if (!RefusedAsForked([&] { before->openPort(); })) return 2;
              KORTransaction t;
              if (!RefusedAsForked([&] { before->Transact(t); })) return 3;
              before.reset();  // left to the parent: freeing touches nothing
              KORInterface made_here;
              made_here.commMode(korCommModeGPIBDirect);
              return made_here.commMode() == korCommModeGPIBDirect ? 0 : 4;
            }));
  EXPECT_EQ(korCommModeEther, before->commMode());
}

}  // namespace
}  // namespace parley

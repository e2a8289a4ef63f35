// The manager's frames, the credential decision, the socket's folder and the program that is
// started as the service.
#include "arbiter/manager_protocol.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>

#include "arbiter/service_manager.hpp"
#include "parley/errors.hpp"

namespace parley::detail::manager {
namespace {

TEST(ManagerFrames, MessagesSurviveArrivingByteByByteAndBackToBack) {
  std::string bytes = Encode({Kind::Open, 7, 0, "/dev/pts/3"}) +
                      Encode({Kind::LockState, 0xFFFFFFFF, 1, ""}) +
                      Encode({Kind::StatusText, 0, 0, std::string("a\0b\tc\n", 6)});
  Decoder d;
  std::vector<Message> got;
  for (char c : bytes) {
    d.Feed(&c, 1);
    while (auto m = d.Next()) got.push_back(*m);
  }
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].kind, Kind::Open);
  EXPECT_EQ(got[0].id, 7u);
  EXPECT_EQ(got[0].text, "/dev/pts/3");
  EXPECT_EQ(got[1].id, 0xFFFFFFFFu);
  EXPECT_EQ(got[1].flag, 1);
  EXPECT_EQ(got[2].text, std::string("a\0b\tc\n", 6));
  EXPECT_FALSE(d.error());
}

TEST(ManagerFrames, MalformedFramesStopTheReader) {
  struct Case {
    const char* what;
    std::string bytes;
  };
  std::string good = Encode({Kind::Status, 0, 0, ""});
  std::string version = good;
  version[4] = static_cast<char>(kVersion + 1);
  std::string kind = good;
  kind[5] = 40;
  std::string huge("\x00\x00\x00\x40", 4);  // 1 GiB: refused from its length alone
  std::string over = Encode({Kind::Status, 0, 0, ""});
  over[0] = static_cast<char>((kMaxBody + 1) & 0xFF);
  over[1] = static_cast<char>((kMaxBody + 1) >> 8);
  for (const Case& c : {Case{"huge", huge}, Case{"just over", over},
                        Case{"short", std::string("\x03\x00\x00\x00\x01\x01\x00", 7)},
                        Case{"version", version}, Case{"kind", kind}}) {
    SCOPED_TRACE(c.what);
    Decoder d;
    d.Feed(c.bytes.data(), c.bytes.size());
    EXPECT_FALSE(d.Next());
    EXPECT_TRUE(d.error());
    d.Feed(good.data(), good.size());  // nothing after a malformed frame is believed
    EXPECT_FALSE(d.Next());
  }
}

TEST(ManagerFrames, AnOverlongTextIsCutToTheLimit) {
  std::string bytes = Encode({Kind::StatusText, 0, 0, std::string(3 * kMaxBody, 'x')});
  Decoder d;
  d.Feed(bytes.data(), bytes.size());
  auto m = d.Next();
  ASSERT_TRUE(m);
  EXPECT_EQ(m->text.size(), kMaxBody - kFixedBody);
}

TEST(ManagerPeers, OnlyTheSameUserIsServed) {
  EXPECT_TRUE(PeerAllowed(1000, 1000));
  EXPECT_FALSE(PeerAllowed(1001, 1000));
  EXPECT_FALSE(PeerAllowed(0, 1000));  // root's programs have their own service
  EXPECT_FALSE(PeerAllowed(1000, 0));
}

TEST(ManagerPaths, EscapedPathsStayOneFieldAndComeBackAsTheyWere) {
  struct Case {
    std::string path;
    std::string escaped;
  };
  for (const Case& c :
       {Case{"/dev/ttyUSB0", "/dev/ttyUSB0"}, Case{"/dev/a\\b", "/dev/a\\\\b"},
        Case{"/dev/tab\there", "/dev/tab\\there"}, Case{"/dev/nl\ncr\r", "/dev/nl\\ncr\\r"},
        Case{std::string("/dev/\x01\x1f\x7f", 8), "/dev/\\x01\\x1F\\x7F"},
        Case{"/dev/caf\xc3\xa9", "/dev/caf\\xC3\\xA9"}, Case{"/dev/x\\x41", "/dev/x\\\\x41"}}) {
    SCOPED_TRACE(c.escaped);
    EXPECT_EQ(EscapePath(c.path), c.escaped);
    EXPECT_EQ(UnescapePath(c.escaped), c.path);
  }
}

// A scratch folder per test, with the environment the rendezvous reads restored afterwards.
class ManagerRuntimeFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"XDG_RUNTIME_DIR", "HOME"}) {
      const char* v = std::getenv(name);
      saved_.emplace_back(name, v ? std::optional<std::string>(v) : std::nullopt);
    }
    Fresh();
  }
  void TearDown() override {
    for (const auto& [name, value] : saved_) {
      if (value) {
        setenv(name.c_str(), value->c_str(), 1);
      } else {
        unsetenv(name.c_str());
      }
    }
    Remove();
  }
  // A new empty base folder (mode 0700), named as the runtime folder.
  void Fresh() {
    Remove();
    char name[] = "/tmp/parley-folder-test-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    base_ = name;
    setenv("XDG_RUNTIME_DIR", name, 1);
  }
  void Remove() {
    if (base_.empty()) return;
    std::error_code ec;
    std::filesystem::permissions(base_, std::filesystem::perms::owner_all, ec);
    std::filesystem::remove_all(base_, ec);
  }
  static mode_t Mode(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
  }
  std::string base_;
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST_F(ManagerRuntimeFolder, MadePrivateInTheRuntimeFolder) {
  std::string why;
  std::string folder = RuntimeFolder(&why);
  ASSERT_EQ(folder, base_ + "/parley") << why;
  EXPECT_EQ(Mode(folder), 0700u);
  EXPECT_EQ(RuntimeFolder(&why), folder) << why;  // found again as it was left
  setenv("XDG_RUNTIME_DIR", (base_ + "/").c_str(), 1);
  EXPECT_EQ(RuntimeFolder(&why), folder) << why;
}

TEST_F(ManagerRuntimeFolder, ASquattedOrUnfitPlaceIsRefusedWithItsPathAndTheReason) {
  namespace fs = std::filesystem;
  struct Case {
    const char* what;
    std::function<std::string(const std::string& base)> prepare;  // the path to be named
    std::string reason;
  };
  const Case cases[] = {
      {"others may write the folder",
       [](const std::string& b) {
         mkdir((b + "/parley").c_str(), 0700);
         chmod((b + "/parley").c_str(), 0777);
         return b + "/parley";
       },
       "mode 0777"},
      {"others may enter the folder",
       [](const std::string& b) {
         mkdir((b + "/parley").c_str(), 0755);
         return b + "/parley";
       },
       "mode 0755"},
      {"a symlink in its place",
       [](const std::string& b) {
         mkdir((b + "/elsewhere").c_str(), 0700);
         fs::create_directory_symlink(b + "/elsewhere", b + "/parley");
         return b + "/parley";
       },
       "symlink"},
      {"a file in its place",
       [](const std::string& b) {
         std::ofstream(b + "/parley") << "x";
         return b + "/parley";
       },
       "not a folder"},
      {"a runtime folder others may enter",
       [](const std::string& b) {
         chmod(b.c_str(), 0755);
         return b;
       },
       "mode 0755"},
      {"a runtime folder that is a symlink",
       [](const std::string& b) {
         mkdir((b + "/real").c_str(), 0700);
         fs::create_directory_symlink(b + "/real", b + "/link");
         setenv("XDG_RUNTIME_DIR", (b + "/link").c_str(), 1);
         return b + "/link";
       },
       "symlink"},
      {"a runtime folder in a folder others may write",
       [](const std::string& b) {
         mkdir((b + "/open").c_str(), 0700);
         chmod((b + "/open").c_str(), 0777);  // no sticky bit: anyone may rename what is in it
         mkdir((b + "/open/run").c_str(), 0700);
         setenv("XDG_RUNTIME_DIR", (b + "/open/run").c_str(), 1);
         return b + "/open";
       },
       "others may write it (mode 0777)"},
      {"a missing runtime folder",
       [](const std::string& b) {
         setenv("XDG_RUNTIME_DIR", (b + "/missing").c_str(), 1);
         return b + "/missing";
       },
       "No such file"},
      {"a relative runtime folder",
       [](const std::string&) {
         setenv("XDG_RUNTIME_DIR", "run/user", 1);
         return std::string("run/user");
       },
       "not an absolute path"},
      {"a path too long for a socket",
       [](const std::string& b) {
         std::string deep = b + "/" + std::string(100, 'd');
         mkdir(deep.c_str(), 0700);
         setenv("XDG_RUNTIME_DIR", deep.c_str(), 1);
         return deep + "/parley/connd.sock";
       },
       "too long"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Fresh();
    std::string named = c.prepare(base_);
    std::string why;
    EXPECT_EQ(RuntimeFolder(&why), "");
    EXPECT_NE(why.find(named + ": "), std::string::npos) << why;
    EXPECT_NE(why.find(c.reason), std::string::npos) << why;
  }
}

TEST_F(ManagerRuntimeFolder, AFolderOfAnotherUserIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give a folder away";
  std::string folder = base_ + "/parley";
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  ASSERT_EQ(chown(folder.c_str(), 12345, 12345), 0);
  std::string why;
  EXPECT_EQ(RuntimeFolder(&why), "");
  EXPECT_NE(why.find(folder + ": belongs to another user"), std::string::npos) << why;
}

TEST_F(ManagerRuntimeFolder, WithoutARuntimeFolderItLivesInTheHomeFolderNeverInASharedOne) {
  if (access(("/run/user/" + std::to_string(geteuid())).c_str(), F_OK) == 0) {
    GTEST_SKIP() << "this machine has a runtime folder for us";
  }
  unsetenv("XDG_RUNTIME_DIR");
  std::string home = base_ + "/home";
  ASSERT_EQ(mkdir(home.c_str(), 0755), 0);
  setenv("HOME", home.c_str(), 1);
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  std::string why;
  std::string folder = RuntimeFolder(&why);
  EXPECT_EQ(folder, home + "/.parley/run-" + host) << why;
  EXPECT_EQ(Mode(home + "/.parley"), 0700u);
  EXPECT_EQ(Mode(folder), 0700u);

  chmod(home.c_str(), 0777);  // as HOME=/tmp would be: another user could squat .parley
  EXPECT_EQ(RuntimeFolder(&why), "");
  EXPECT_NE(why.find(home + ": "), std::string::npos) << why;
}

// PARLEY_CONND for the test's length, restored afterwards.
class ManagerServiceProgram : public ManagerRuntimeFolder {
 protected:
  void SetUp() override {
    ManagerRuntimeFolder::SetUp();
    const char* v = std::getenv("PARLEY_CONND");
    saved_.emplace_back("PARLEY_CONND", v ? std::optional<std::string>(v) : std::nullopt);
  }
  // An executable file at `path` with `mode`.
  static void Program(const std::string& path, mode_t mode) {
    std::ofstream(path) << "#!/bin/sh\n";
    chmod(path.c_str(), mode);
  }
  // The message ServiceProgram fails with, or "" when it accepts the program.
  static std::string Refusal() {
    try {
      ServiceProgram();
      return "";
    } catch (const AutomationError& e) {
      EXPECT_EQ(e.Number(), err::CommUnavailable);
      return e.Description();
    }
  }
};

TEST_F(ManagerServiceProgram, OnlyAnAbsoluteProgramThatNobodyElseCanChangeIsStarted) {
  namespace fs = std::filesystem;
  struct Case {
    const char* what;
    std::function<std::string(const std::string& base)> prepare;  // PARLEY_CONND
    std::string refusal;                                          // "" when accepted
  };
  const Case cases[] = {
      {"a private program",
       [](const std::string& b) {
         Program(b + "/parley-connd", 0755);
         return b + "/parley-connd";
       },
       ""},
      {"a relative path", [](const std::string&) { return std::string("bin/parley-connd"); },
       "PARLEY_CONND=bin/parley-connd: not an absolute path"},
      {"a missing program", [](const std::string& b) { return b + "/none"; }, "cannot run /"},
      {"a program others may write",
       [](const std::string& b) {
         Program(b + "/parley-connd", 0777);
         return b + "/parley-connd";
       },
       "parley-connd: writable by others (mode 0777)"},
      {"a program in a folder others may write",
       [](const std::string& b) {
         mkdir((b + "/bin").c_str(), 0755);
         chmod((b + "/bin").c_str(), 0777);
         Program(b + "/bin/parley-connd", 0755);
         return b + "/bin/parley-connd";
       },
       "/bin is writable by others (mode 0777)"},
      {"a link to a private program, placed where others may write",
       [](const std::string& b) {
         Program(b + "/parley-connd", 0755);
         mkdir((b + "/open").c_str(), 0755);
         chmod((b + "/open").c_str(), 0777);
         fs::create_symlink(b + "/parley-connd", b + "/open/parley-connd");
         return b + "/open/parley-connd";
       },
       "/open is writable by others"},
      {"a folder", [](const std::string& b) { return b; }, "not a regular file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Fresh();
    std::string program = c.prepare(base_);
    setenv("PARLEY_CONND", program.c_str(), 1);
    std::string refusal = Refusal();
    if (c.refusal.empty()) {
      EXPECT_EQ(refusal, "");
      EXPECT_EQ(ServiceProgram(), program);
    } else {
      EXPECT_NE(refusal.find(c.refusal), std::string::npos) << refusal;
      EXPECT_NE(refusal.find(program), std::string::npos) << refusal;
    }
  }
}

TEST_F(ManagerServiceProgram, AProgramOfAnotherUserIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give a file away";
  std::string program = base_ + "/parley-connd";
  Program(program, 0755);
  ASSERT_EQ(chown(program.c_str(), 12345, 12345), 0);
  setenv("PARLEY_CONND", program.c_str(), 1);
  EXPECT_NE(Refusal().find("owned by uid 12345, neither root nor us"), std::string::npos);
}

}  // namespace
}  // namespace parley::detail::manager

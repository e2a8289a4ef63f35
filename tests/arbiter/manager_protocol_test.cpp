// The manager's frames, the credential decision and the socket's folder.
#include "arbiter/manager_protocol.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

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
  version[4] = 2;
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

class RuntimeFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/parley-folder-test-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    base_ = name;
    setenv("XDG_RUNTIME_DIR", name, 1);
  }
  void TearDown() override {
    unsetenv("XDG_RUNTIME_DIR");
    std::filesystem::remove_all(base_);
  }
  std::string base_;
};

TEST_F(RuntimeFolderTest, MadePrivateAndRefusedWhenOthersCouldEnterOrItIsNotOurs) {
  std::string why;
  std::string folder = RuntimeFolder(&why);
  ASSERT_EQ(folder, base_ + "/parley") << why;
  struct stat st {};
  ASSERT_EQ(stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  chmod(folder.c_str(), 0755);
  EXPECT_EQ(RuntimeFolder(&why), "");
  EXPECT_NE(why.find("0700"), std::string::npos);
  chmod(folder.c_str(), 0700);

  if (geteuid() == 0) {
    ASSERT_EQ(chown(folder.c_str(), 12345, 12345), 0);
    EXPECT_EQ(RuntimeFolder(&why), "");
    EXPECT_NE(why.find("another user"), std::string::npos);
  }
}

TEST_F(RuntimeFolderTest, AFileInItsPlaceOrAnUnusablePathIsRefused) {
  std::string why;
  {
    std::FILE* f = std::fopen((base_ + "/parley").c_str(), "w");
    std::fclose(f);
  }
  EXPECT_EQ(RuntimeFolder(&why), "");
  std::string deep = base_ + "/" + std::string(100, 'd');
  std::filesystem::create_directory(deep);
  setenv("XDG_RUNTIME_DIR", deep.c_str(), 1);
  EXPECT_EQ(RuntimeFolder(&why), "");
  EXPECT_NE(why.find("too long"), std::string::npos);
}

}  // namespace
}  // namespace parley::detail::manager

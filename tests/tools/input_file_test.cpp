// The one reader of the tools' input files, and the nesting bound checked before TOML parsing.
#include "input_file.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

namespace parley::tools {
namespace {

namespace fs = std::filesystem;

class InputFileTest : public ::testing::Test {
 protected:
  InputFileTest() {
    std::string pattern = (fs::temp_directory_path() / "input-file-XXXXXX").string();
    dir_ = mkdtemp(pattern.data()) ? pattern : "";
  }
  ~InputFileTest() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  std::string Write(const std::string& name, const std::string& text) const {
    std::ofstream(Path(name), std::ios::binary) << text;
    return Path(name);
  }
  // The message ReadInputFile refuses `path` with, or "" when it reads it.
  static std::string Refusal(const std::string& path) {
    try {
      ReadInputFile(path, "profile");
    } catch (const std::invalid_argument& e) {
      return e.what();
    }
    return "";
  }

  std::string dir_;
};

TEST_F(InputFileTest, ReadsARegularFileWholeAlsoThroughALink) {
  std::string text("a = 1\n\0b\n", 9);
  std::string file = Write("p.toml", text);
  fs::create_symlink(file, Path("link.toml"));
  EXPECT_EQ(ReadInputFile(file, "profile"), text);
  EXPECT_EQ(ReadInputFile(Path("link.toml"), "profile"), text);
}

TEST_F(InputFileTest, AnythingButABoundedRegularFileIsRefusedAtOnceWithFileAndReason) {
  ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);  // no writer: reading it would hang
  fs::create_directory(Path("dir"));
  fs::create_symlink(Path("loop-b"), Path("loop-a"));
  fs::create_symlink(Path("loop-a"), Path("loop-b"));
  std::string huge = Write("huge", "");
  fs::resize_file(huge, kMaxInputFile + 1);  // sparse: costs no disk
  const struct {
    std::string path;
    std::string says;
  } cases[] = {
      {Path("fifo"), "it is a FIFO"},
      {Path("dir"), "it is a directory"},
      {"/dev/zero", "it is a character device"},
      {Path("loop-a"), "it is a symbolic link that loops"},
      {huge, "larger than 16 MiB"},
      {Path("absent"), "No such file or directory"},
  };
  for (const auto& c : cases) {
    std::string why = Refusal(c.path);
    EXPECT_NE(why.find("cannot read the profile " + c.path + ": "), std::string::npos) << why;
    EXPECT_NE(why.find(c.says), std::string::npos) << c.path << ": " << why;
  }
}

TEST_F(InputFileTest, AFileOfExactlyTheBoundIsRead) {
  std::string file = Write("full", "");
  fs::resize_file(file, kMaxInputFile);
  EXPECT_EQ(ReadInputFile(file, "script").size(), kMaxInputFile);
}

std::string Repeat(const std::string& piece, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += piece;
  return out;
}

// The line CheckTomlNesting refuses `text` on (limit 64), or 0 when it lets it through.
long RefusedLine(const std::string& text) {
  try {
    CheckTomlNesting(text, "f.toml");
  } catch (const std::invalid_argument& e) {
    std::string what = e.what();
    EXPECT_EQ(what.rfind("f.toml:", 0), 0u) << what;
    EXPECT_NE(what.find("nested deeper than 64 levels"), std::string::npos) << what;
    return std::stol(what.substr(7));
  }
  return 0;
}

TEST(TomlNestingTest, EachFormOfNestingCountsAndOnlyPastTheLimitIsRefused) {
  const struct {
    const char* name;
    std::string text;
    long refused_line;  // 0: accepted
  } cases[] = {
      {"plain", "a = 1\n[t]\nb = [1, 2]\n", 0},
      {"dotted key at the limit", Repeat("a.", 63) + "a = 1\n", 0},
      {"dotted key past it", "x = 1\n" + Repeat("a.", 64) + "a = 1\n", 2},
      {"table header past it", "[" + Repeat("t.", 64) + "t]\n", 1},
      {"header and key add up", "[" + Repeat("t.", 39) + "t]\n" + Repeat("k.", 24) + "k = 1\n", 2},
      {"array of tables is a level", "[[" + Repeat("t.", 63) + "t]]\n", 1},
      {"arrays", "x = " + Repeat("[", 65) + Repeat("]", 65) + "\n", 1},
      {"arrays at the limit", "x = " + Repeat("[", 63) + Repeat("]", 63) + "\n", 0},
      {"inline tables", "x = " + Repeat("{ a = ", 65) + "1" + Repeat(" }", 65) + "\n", 1},
      {"array over lines", "x = [\n" + Repeat("[\n", 65) + Repeat("]\n", 66), 65},
      {"brackets and dots in strings and comments",
       "k = \"" + Repeat("[{.", 100) + "\"\n'" + Repeat("a.", 100) + "' = '" + Repeat("[", 100) +
           "'\n# " + Repeat("[", 100) + "\n",
       0},
      {"multi-line strings keep the line count",
       "s = \"\"\"\n" + Repeat("[", 100) + "\n\\\"\"\"\n\"\"\"\nm = '''\n" + Repeat("{", 100) +
           "'''\n" + Repeat("a.", 70) + "a = 1\n",
       7},
  };
  for (const auto& c : cases) EXPECT_EQ(RefusedLine(c.text), c.refused_line) << c.name;
}

TEST(TomlNestingTest, AHugeDeepFileIsRefusedWithoutRecursing) {
  EXPECT_EQ(RefusedLine(Repeat("a.", 50000) + "a = 1\n"), 1);
  EXPECT_EQ(RefusedLine("x = " + Repeat("[", 200000) + "\n"), 1);
}

}  // namespace
}  // namespace parley::tools

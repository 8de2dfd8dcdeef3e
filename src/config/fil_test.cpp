#include "config/fil.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "temp_dir.h"

namespace {

class LineReaderTest : public ::testing::Test {
 protected:
  void SetUp() override { filInit(); }
  void TearDown() override { filTerm(); }

  std::vector<std::string> significantLines(const std::string& content) {
    FILE* stream = filOpenFile(dir.writeFile("f", content).c_str(), "r", true);
    std::vector<std::string> lines;
    while (const char* line = filReadNextLineFromFile(stream)) lines.emplace_back(line);
    filCloseFile(stream);
    return lines;
  }
  TempDir dir;
};

TEST_F(LineReaderTest, SignificantLinesAreTrimmedAndCommentsSkipped) {
  EXPECT_EQ(significantLines("a\n\n   \n# c\n \t# indented comment\n  b c  \r\nd#e\r\n\tlast"),
            (std::vector<std::string>{"a", "b c", "d#e", "last"}));
  EXPECT_EQ(significantLines(""), std::vector<std::string>{});
  EXPECT_EQ(significantLines("\r\n#\n"), std::vector<std::string>{});
}

TEST_F(LineReaderTest, LongLinesAreReadWholeWithTheirLineNumber) {
  std::string longLine(5000, 'x');
  FILE* stream = filOpenFile(dir.writeFile("f", "a\n" + longLine + "\nb\n").c_str(), "r", true);
  EXPECT_STREQ(filReadNextLineFromFile(stream), "a");
  EXPECT_EQ(filReadNextLineFromFile(stream), longLine);
  EXPECT_EQ(filGetCurrentLineNumber(), 2);
  EXPECT_EQ(filGetBufferSize(), 1024 + 8 * 512);
  EXPECT_STREQ(filReadNextLineFromFile(stream), "b");
  EXPECT_EQ(filGetCurrentLineNumber(), 3);
  EXPECT_EQ(filReadNextLineFromFile(stream), nullptr);
  filCloseFile(stream);
}

TEST_F(LineReaderTest, EachOpenFileHasItsOwnLineCount) {
  FILE* outer = filOpenFile(dir.writeFile("outer", "1\n2\n3\n").c_str(), "r", true);
  filReadNextLineFromFile(outer);
  filReadNextLineFromFile(outer);
  FILE* inner = filOpenFile(dir.writeFile("inner", "\n\nx\n").c_str(), "r", true);
  EXPECT_EQ(filGetCurrentLineNumber(), 0);
  filReadNextLineFromFile(inner);
  EXPECT_EQ(filGetCurrentLineNumber(), 3);
  filCloseFile(inner);
  EXPECT_EQ(filGetCurrentLineNumber(), 2);
  filCloseFile(outer);
  EXPECT_EQ(filOpenFile(dir.file("missing").c_str(), "r", true), nullptr);
  EXPECT_EQ(filGetCurrentLineNumber(), 0);
}

TEST_F(LineReaderTest, NulByteEndsTheLineButNotTheFile) {
  EXPECT_EQ(significantLines(std::string("abc\0def\nnext\n", 13)), (std::vector<std::string>{"abc", "next"}));
  EXPECT_EQ(significantLines(std::string("\0hidden\nshown\n", 14)), (std::vector<std::string>{"shown"}));
}

TEST_F(LineReaderTest, OnlyRegularFilesAreOpened) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(filOpenFile(dir.path().c_str(), "r", true), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Error: Configuration file '" + dir.path() + "' is not a regular file.\n");
  EXPECT_TRUE(filInputRefused());
  EXPECT_EQ(filGetCurrentLineNumber(), 0);
}

}  // namespace

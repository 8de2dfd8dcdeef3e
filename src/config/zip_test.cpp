#include "config/zip.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "temp_dir.h"

namespace {

/// Bytes standing in for the launcher executable; they hold no signature.
std::string executable(std::size_t size) {
  std::string bytes;
  for (std::size_t i = 0; i < size; ++i) bytes += static_cast<char>(i * 31 % 251);
  return bytes;
}

/// An end-of-central-directory record whose length field says declared.
std::string endRecord(const std::string& comment, std::size_t declared) {
  std::string record("PK\x05\x06", 4);
  record.append(16, '\0');
  record += static_cast<char>(declared & 0xff);
  record += static_cast<char>(declared >> 8);
  return record + comment;
}
std::string endRecord(const std::string& comment) { return endRecord(comment, comment.size()); }

class ZipTest : public testing::Test {
 protected:
  /// An archive of one member made by the zip tool. Its comment option writes
  /// "\r\n" between lines and nothing after the last, so an exact comment is
  /// set by hand: only the length field, the end record's last two bytes,
  /// changes.
  std::string archive(const std::string& comment = "", bool byTool = false) {
    dir.writeFile("member.txt", "payload\n");
    std::string command = "cd '" + dir.path() + "' && rm -f a.zip && zip -q a.zip member.txt";
    if (byTool) command += " -z < '" + dir.writeFile("comment.txt", comment) + "'";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    std::string zip = readFile(dir.file("a.zip"));
    return byTool ? zip : zip.substr(0, zip.size() - 2) + endRecord(comment).substr(20);
  }
  /// The comment found in a file holding content after a hole of that many
  /// bytes (which take no disk space), and what was printed.
  std::pair<std::optional<std::string>, std::string> search(const std::string& content, off_t hole = 0) {
    std::string path = dir.writeFile("app", "", 0755);
    std::filesystem::resize_file(path, hole);
    std::ofstream(path, std::ios::binary | std::ios::app) << content;
    testing::internal::CaptureStdout();
    std::optional<std::string> comment = zipGetZipComment(path.c_str());
    return {comment, testing::internal::GetCapturedStdout()};
  }
  TempDir dir;
};

TEST_F(ZipTest, CommentOfAnAppendedArchiveIsFound) {
  EXPECT_EQ(search(archive("mainclass x.Y\n")).first, "mainclass x.Y\n");
  EXPECT_EQ(search(executable(200000) + archive("# c\nmainclass x.Y\n")).first, "# c\nmainclass x.Y\n");
  EXPECT_EQ(search(executable(4096) + archive("mainclass x.Y\naddpath a.jar\n", true)).first,
            "mainclass x.Y\r\naddpath a.jar");
  EXPECT_EQ(search(executable(4096) + archive()).first, "");
}

TEST_F(ZipTest, OnlyARecordEndingTheFileCounts) {
  const std::string data = executable(5000);
  const std::string fake = "x" + endRecord("fake", 40) + "y";
  const std::string small = "Zip file size is unreasonably small\n";
  struct Case {
    std::string content;
    std::optional<std::string> comment;
    std::string printed;
  } cases[] = {
      {"", std::nullopt, small},
      {std::string(21, 'P'), std::nullopt, small},
      {endRecord(""), "", ""},
      {executable(200000), std::nullopt, ""},
      {data + endRecord("abc", 10), std::nullopt, ""},
      {data + endRecord("abcdef", 3), std::nullopt, ""},
      {data + endRecord("", 5) + "0123456789", std::nullopt, ""},
      {data + endRecord(fake), fake, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(search(c.content), std::make_pair(c.comment, c.printed)) << c.content.size();
  }
  EXPECT_EQ(zipGetZipComment(dir.file("missing").c_str()), std::nullopt);
}

TEST_F(ZipTest, RecordIsFoundAcrossWindowBoundaries) {
  // The first window covers the last 65536 bytes: a comment of 65515 bytes or
  // more puts the record before it, partly or wholly. The last case is a
  // single-file application of 3 GiB, read at offsets past what 32 bits hold.
  struct Case {
    std::size_t prefix;
    std::size_t length;
    off_t hole = 0;
  } cases[] = {{150000, 65514}, {150000, 65515}, {150000, 65535}, {43, 65535}, {0, 65535}, {0, 65535, off_t{3} << 30}};
  for (const Case& c : cases) {
    std::string text;
    for (std::size_t i = 0; i < c.length; ++i) text += static_cast<char>('a' + i % 26);
    EXPECT_EQ(search(executable(c.prefix) + endRecord(text), c.hole).first, text) << c.prefix << " " << c.length;
  }
}

TEST(ZipBytesTest, ValuesAreLittleEndianAndUnsigned) {
  const unsigned char bytes[] = {0x50, 0x4B, 0x05, 0x06, 0xFF, 0x81, 0xFF, 0xFF};
  EXPECT_EQ(get4LE(bytes, 0), 0x06054b50u);
  EXPECT_EQ(get2LE(bytes, 4), 0x81FFu);
  EXPECT_EQ(get4LE(bytes, 2), 0x81FF0605u);
  EXPECT_EQ(get4LE(bytes, 4), 0xFFFF81FFu);
}

}  // namespace

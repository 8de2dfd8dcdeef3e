#include "util/utrace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "host/hmd.h"

namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// Replaces every "{path}" in text by path.
std::string withPath(std::string text, const std::string& path) {
  for (auto at = text.find("{path}"); at != std::string::npos; at = text.find("{path}")) {
    text.replace(at, 6, path);
  }
  return text;
}

// The launcher's own opener of trace files.
int openOwnFile(const std::string& path, int flags, unsigned mode, std::string& why) {
  return hmdOpenOwnFile(path, flags, static_cast<mode_t>(mode), why);
}

class UtraceTest : public testing::Test {
 protected:
  void SetUp() override {
    unsetenv("UTRACE");
    ut_TraceData = UtTraceData{};
    ut_TraceData.openFile = openOwnFile;
    std::string pattern = testing::TempDir() + "utrace_XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }

  void TearDown() override {
    resetTrace();
    unsetenv("UTRACE");
    fs::remove_all(dir_);
  }

  // Closes what the module opened and returns it to its initial state.
  void resetTrace() {
    if (ut_TraceData.fd > 2) close(ut_TraceData.fd);
    ut_TraceData = UtTraceData{};
    ut_TraceData.openFile = openOwnFile;
  }

  // Points the trace at a fresh file (handed to the module, which may close
  // it) so that lines do not go to the test's standard output.
  fs::path traceToFile(const char* name) {
    fs::path path = dir_ / name;
    ut_TraceData.fd = open(path.c_str(), O_CREAT | O_RDWR | O_TRUNC, 0600);
    EXPECT_GT(ut_TraceData.fd, 2);
    return path;
  }

  fs::path dir_;
};

// The header's time must be asctime text of a moment during the call.
void expectHeader(const std::string& content, const std::string& setting, std::time_t before,
                  std::time_t after) {
  const std::string prefix = "\nTRACE OUTPUT ";
  const std::string suffix = "\t\t\t\tusing " + setting + "\n\n";
  ASSERT_EQ(content.size(), prefix.size() + 25 + suffix.size()) << content;
  EXPECT_EQ(content.substr(0, prefix.size()), prefix);
  EXPECT_EQ(content.substr(prefix.size() + 25), suffix);

  const std::string stamp = content.substr(prefix.size(), 25);
  std::tm parsed{};
  ASSERT_NE(strptime(stamp.c_str(), "%a %b %e %H:%M:%S %Y\n", &parsed), nullptr) << stamp;
  char reformatted[64];
  ASSERT_NE(asctime_r(&parsed, reformatted), nullptr);
  EXPECT_EQ(stamp, reformatted);
  parsed.tm_isdst = -1;
  const std::time_t when = std::mktime(&parsed);
  EXPECT_LE(before, when);
  EXPECT_LE(when, after);
}

TEST_F(UtraceTest, UnsetWritesNothing) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  ut_tproda("nothing %d", 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(ut_TraceData.initPending, 0);
  EXPECT_EQ(ut_TraceData.fd, 1);
}

TEST_F(UtraceTest, ProductionWritesEachLineWithOneNewlineToStdout) {
  setenv("UTRACE", "-p", 1);
  testing::internal::CaptureStdout();
  ut_tproda("Processed <%s> arg", "+debug");
  ut_tproda("%s", "");
  ut_tproda("code %d", 42);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Processed <+debug> arg\n\ncode 42\n");
}

// What each setting writes: production tracing writes the line where the
// trace goes; level tracing (ut_tison) writes nothing without a file.
TEST_F(UtraceTest, SettingDecidesWhatIsWritten) {
  struct Row {
    const char* setting;
    bool written;
    bool levelOn;
  };
  const Row rows[] = {
      {"", false, false},
      {"p l3 f{path} c", false, false},  // no '-': no option at all
      {"-p", true, false},
      {"-p ", true, false},
      {"trace-p", true, false},        // the scan looks for '-' anywhere
      {"-pc", true, false},            // only the letter after '-' counts
      {"-c -p", true, false},
      {"-c", false, false},
      {"-l3 -p", true, false},
      {"-l3\t-p", true, false},
      {"-l3 -f{path} -p", true, false},  // level off after the scan: no file
      {"-p -l3", false, true},
      {"-p -l0", false, false},
      {"-l12", false, true},
      {"-l-2", false, true},             // '-' inside an option does not split it
      {"-lx", false, false},
      {"-l0 -f{path}", false, false},
      {"- -p", true, false},
      {"-b -t -x -", false, false},
  };
  const std::string unwanted = (dir_ / "unwanted").string();
  for (const Row& row : rows) {
    const std::string setting = withPath(row.setting, unwanted);
    SCOPED_TRACE("UTRACE=\"" + setting + "\"");
    resetTrace();
    setenv("UTRACE", setting.c_str(), 1);
    const fs::path out = traceToFile("out");
    testing::internal::CaptureStdout();

    ut_tproda("probe %d", 7);

    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(ut_tison(), row.levelOn ? 1 : 0);
    EXPECT_EQ(readFile(out), row.written ? "probe 7\n" : "");
    EXPECT_FALSE(fs::exists(unwanted));
  }
}

TEST_F(UtraceTest, LevelWithFileWritesOnlyTheHeader) {
  struct Row {
    const char* setting;
    bool exists;  // the file holds "old content\n" beforehand
    bool append;
  };
  const Row rows[] = {
      {"-l3 -f{path}", false, false},
      {"-l3 -f{path}", true, false},
      {"-l3 -f{path} -a", true, true},
      {"-a -l3 -f{path}", true, true},
  };
  const std::string old = "old content\n";
  for (const Row& row : rows) {
    const fs::path path = dir_ / "trace-dir" / "out-1.txt";  // '-' stays in the path
    fs::create_directories(path.parent_path());
    fs::remove(path);
    if (row.exists) writeFile(path, old);
    const std::string setting = withPath(row.setting, path.string());
    SCOPED_TRACE("UTRACE=\"" + setting + "\"");
    resetTrace();
    setenv("UTRACE", setting.c_str(), 1);
    const mode_t oldMask = umask(0);

    const std::time_t before = std::time(nullptr);
    ut_tproda("first line");
    const std::time_t after = std::time(nullptr);
    umask(oldMask);
    ut_tproda("second line");

    EXPECT_EQ(ut_tison(), 1);  // so "+debug" will leave production off
    EXPECT_EQ(ut_TraceData.production, 0);
    ASSERT_GT(ut_TraceData.fd, 2);
    EXPECT_NE(fcntl(ut_TraceData.fd, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(fcntl(ut_TraceData.fd, F_GETFL) & O_ACCMODE, O_RDWR);
    if (!row.exists) {
      EXPECT_EQ(fs::status(path).permissions(), fs::perms(0666));
    }

    std::string content = readFile(path);
    if (row.append) {
      ASSERT_EQ(content.substr(0, old.size()), old);
      content.erase(0, old.size());
    }
    expectHeader(content, setting, before, after);
  }
}

TEST_F(UtraceTest, LevelClosesOldDescriptorAndFallsBackToStdout) {
  const fs::path previous = traceToFile("previous");
  const int previousFd = ut_TraceData.fd;
  setenv("UTRACE", "-l3 -f", 1);  // an empty path is no path
  testing::internal::CaptureStdout();
  ut_tproda("not written");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(ut_TraceData.fd, 1);
  EXPECT_EQ(fcntl(previousFd, F_GETFD), -1);
  EXPECT_EQ(readFile(previous), "");
}

// A path in a missing directory, and what another user could have put
// where the trace goes: a link to the user's own file, a FIFO, a file of
// theirs (left as it is).
TEST_F(UtraceTest, UnopenableFileDiscardsLinesSilently) {
  writeFile(dir_ / "mine", "mine\n");
  fs::create_symlink(dir_ / "mine", dir_ / "link");
  ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0666), 0);
  writeFile(dir_ / "theirs", "theirs\n");
  if (geteuid() == 0) {
    ASSERT_EQ(chown((dir_ / "theirs").c_str(), 65534, 65534), 0);
  }
  for (const fs::path& path : {dir_ / "missing" / "trace", dir_ / "link", dir_ / "fifo", dir_ / "theirs"}) {
    if (path == dir_ / "theirs" && geteuid() != 0) continue;
    resetTrace();
    setenv("UTRACE", ("-l3 -f" + path.string()).c_str(), 1);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    ut_tproda("lost");
    EXPECT_EQ(ut_TraceData.fd, -1) << path;
    ut_tprodon();
    ut_tproda("lost too");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  }
  EXPECT_FALSE(fs::exists(dir_ / "missing"));
  EXPECT_EQ(readFile(dir_ / "mine"), "mine\n");
  EXPECT_EQ(readFile(dir_ / "theirs"), "theirs\n");
}

TEST_F(UtraceTest, SettingIsReadOnlyOnce) {
  const fs::path out = traceToFile("out");
  ut_tproda("before");             // reads the unset UTRACE
  setenv("UTRACE", "-p", 1);
  ut_tproda("after");
  EXPECT_EQ(readFile(out), "");

  resetTrace();
  const fs::path out2 = traceToFile("out2");
  setenv("UTRACE", "-p", 1);
  ut_tproda("one");
  setenv("UTRACE", "-l3", 1);
  ut_tproda("two");
  EXPECT_EQ(readFile(out2), "one\ntwo\n");
}

// Switching a mode on before the first trace call ("+debug" in a test binary)
// settles the mode: UTRACE must then not be read over it.
TEST_F(UtraceTest, ModeSetBeforeFirstCallSkipsTheSetting) {
  const fs::path out = traceToFile("out");
  setenv("UTRACE", "-l3", 1);
  ut_tprodon();
  ut_tproda("kept");
  EXPECT_EQ(readFile(out), "kept\n");
  EXPECT_EQ(ut_tison(), 0);

  resetTrace();
  const fs::path out2 = traceToFile("out2");
  setenv("UTRACE", "-p", 1);
  ut_ton(2);
  ut_tproda("dropped");
  EXPECT_EQ(readFile(out2), "");
  EXPECT_EQ(ut_tison(), 1);
}

TEST_F(UtraceTest, GetTraceSettingCopiesAtMost511Characters) {
  char buffer[kTraceSettingSize + 8];
  EXPECT_EQ(GetTraceSetting(buffer, kTraceSettingSize), nullptr);

  for (std::size_t length : {0u, 1u, 511u, 512u, 600u}) {
    SCOPED_TRACE(length);
    std::string value;
    for (std::size_t i = 0; i < length; ++i) value += static_cast<char>('a' + i % 26);
    setenv("UTRACE", value.c_str(), 1);
    std::memset(buffer, '#', sizeof buffer);
    ASSERT_EQ(GetTraceSetting(buffer, kTraceSettingSize), buffer);
    EXPECT_EQ(std::string(buffer), value.substr(0, 511));
    EXPECT_EQ(std::string(buffer + kTraceSettingSize, 8), std::string(8, '#'));
  }
}

// An option past the 511th character is cut off with the rest of the value.
TEST_F(UtraceTest, LongSettingIsCutBeforeItIsApplied) {
  for (std::size_t blanks : {509u, 510u}) {
    SCOPED_TRACE(blanks);
    resetTrace();
    setenv("UTRACE", (std::string(blanks, ' ') + "-p").c_str(), 1);
    const fs::path out = traceToFile("out");
    ut_tproda("line");
    EXPECT_EQ(readFile(out), blanks == 509 ? "line\n" : "");
  }
}

TEST_F(UtraceTest, LongestLineIsWrittenWhole) {
  const fs::path out = traceToFile("out");
  ut_tprodon();
  const std::string longest(kTraceLineMax, 'x');
  ut_tproda("%s", longest.c_str());
  EXPECT_EQ(readFile(out), longest + "\n");
}

// The launch ends the process at a longer line; the trace leaves that to
// the handler the launch registers, and never writes the line.
TEST_F(UtraceTest, LongerLineIsAnOverflow) {
  static int overflows;
  overflows = 0;
  ut_tonoverflow([] { ++overflows; });
  const fs::path out = traceToFile("out");
  ut_tprodon();
  const std::string tooLong(kTraceLineMax + 1, 'x');
  const std::string longest(kTraceLineMax, 'x');
  testing::internal::CaptureStderr();
  ut_tproda("%s", tooLong.c_str());
  // The decision is on the formatted text, not on the argument.
  ut_tproda("%s%d", longest.c_str(), 5);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "UTRACE BUFFER OVERFLOW!!!!\nUTRACE BUFFER OVERFLOW!!!!\n");
  EXPECT_EQ(overflows, 2);
  EXPECT_EQ(readFile(out), "");
  ut_tonoverflow(nullptr);
}

}  // namespace

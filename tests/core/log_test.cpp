// The diagnostic log: its file, its line formats, its limits, switching it on
// and off, closing and reopening around start-up and shut-down, the debugger
// mirror and concurrent writers.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "core/log.h"
#include "ovixcapture.h"
#include "platform/sys.h"
#include "platform/virtual/control.h"
#include "support/log_capture.h"

namespace ovix::test {
namespace {

constexpr char kEnabledLine[] = "[LOG] runtime logging enabled, file is recreated for this application run.";
constexpr char kDisabledLine[] = "[LOG] runtime logging disabled.";
constexpr char kClosedLine[] = "==== ovixcapture log closed ====";
constexpr char kHeaderStart[] = "==== ovixcapture log started ";

unsigned long KernelTid() { return static_cast<unsigned long>(::syscall(SYS_gettid)); }

const std::regex& HeaderPattern() {
  static const std::regex re(R"(^==== ovixcapture log started (\d{4})-(\d{2})-(\d{2}) (\d{2}):(\d{2}):(\d{2}) pid=(\d+) ====$)");
  return re;
}

// A message line: time, thread id, file name, line number, message.
struct MessageLine {
  unsigned hour, minute, second, millisecond;
  unsigned long tid;
  std::string file;
  int line;
  std::string message;
};

bool ParseMessageLine(const std::string& text, MessageLine& out) {
  static const std::regex re(R"(^\[(\d{2}):(\d{2}):(\d{2})\.(\d{3})\]\[tid=(\d+)\]\[([^\]]*):(-?\d+)\] ([^\r\n]*)$)");
  std::smatch m;
  if (!std::regex_match(text, m, re)) return false;
  out = MessageLine{static_cast<unsigned>(std::stoul(m[1])), static_cast<unsigned>(std::stoul(m[2])),
                    static_cast<unsigned>(std::stoul(m[3])), static_cast<unsigned>(std::stoul(m[4])),
                    std::stoul(m[5]), m[6], std::stoi(m[7]), m[8]};
  return true;
}

std::vector<std::string> MessageLines() {
  std::vector<std::string> out;
  MessageLine parsed;
  for (const std::string& l : LogFileLines())
    if (ParseMessageLine(l, parsed)) out.push_back(l);
  return out;
}

int CountHeaders() {
  int n = 0;
  for (const std::string& l : LogFileLines())
    if (l.rfind(kHeaderStart, 0) == 0) ++n;
  return n;
}

// Each test starts with logging off and no log file.
class LogTest : public testing::Test {
 protected:
  void SetUp() override {
    OVIX_EnableLog(0);
    RemoveLogFile();
  }
};

// Puts a directory where the log file goes, so that the file cannot be
// created, and takes it away again.
class DirectoryAtLogPath {
 public:
  DirectoryAtLogPath() {
    RemoveLogFile();
    made_ = ::mkdir(log::FilePath().c_str(), 0755) == 0;
  }
  ~DirectoryAtLogPath() { Remove(); }
  bool Made() const { return made_; }
  void Remove() {
    if (made_) ::rmdir(log::FilePath().c_str());
    made_ = false;
  }

 private:
  bool made_ = false;
};

// --- The file and its lines -------------------------------------------------

TEST_F(LogTest, FileIsNextToTheExecutable) {
  namespace fs = std::filesystem;
  const fs::path file = log::FilePath();
  EXPECT_EQ(file.filename(), "ovixcapture.log");
  EXPECT_EQ(file.parent_path(), fs::read_symlink("/proc/self/exe").parent_path());

  ASSERT_EQ(OVIX_EnableLog(1), 0);
  EXPECT_TRUE(fs::is_regular_file(file));
}

TEST_F(LogTest, FileStartsWithHeaderAndEnabledLine) {
  ASSERT_EQ(OVIX_EnableLog(1), 0);
  const std::vector<std::string> lines = LogFileLines();
  ASSERT_EQ(lines.size(), 2u);

  std::smatch m;
  ASSERT_TRUE(std::regex_match(lines[0], m, HeaderPattern())) << lines[0];
  EXPECT_GE(std::stoul(m[1]), 2020u);
  EXPECT_GE(std::stoul(m[2]), 1u);
  EXPECT_LE(std::stoul(m[2]), 12u);
  EXPECT_GE(std::stoul(m[3]), 1u);
  EXPECT_LE(std::stoul(m[3]), 31u);
  EXPECT_LE(std::stoul(m[4]), 23u);
  EXPECT_LE(std::stoul(m[5]), 59u);
  EXPECT_LE(std::stoul(m[6]), 60u);
  EXPECT_EQ(std::stoul(m[7]), static_cast<unsigned long>(::getpid()));

  EXPECT_EQ(lines[1], kEnabledLine);
  EXPECT_EQ(ReadLogFile(), lines[0] + "\r\n" + lines[1] + "\r\n");
}

TEST_F(LogTest, MessageLineCarriesTimeThreadFileLineAndMessage) {
  ASSERT_EQ(OVIX_EnableLog(1), 0);
  const int line = __LINE__ + 1;
  OVIX_LOG("src/core/some_area.cpp", "value=%d name=%s", 42, "cam");

  const std::string raw = ReadLogFile();
  ASSERT_GE(raw.size(), 2u);
  EXPECT_EQ(raw.substr(raw.size() - 2), "\r\n");
  const std::vector<std::string> lines = LogFileLines();
  ASSERT_EQ(lines.size(), 3u);
  MessageLine m;
  ASSERT_TRUE(ParseMessageLine(lines[2], m)) << lines[2];
  EXPECT_LE(m.hour, 23u);
  EXPECT_LE(m.minute, 59u);
  EXPECT_LE(m.second, 60u);
  EXPECT_LE(m.millisecond, 999u);
  EXPECT_EQ(m.tid, KernelTid());
  EXPECT_EQ(m.file, "some_area.cpp");
  EXPECT_EQ(m.line, line);
  EXPECT_EQ(m.message, "value=42 name=cam");
}

TEST_F(LogTest, FileNameIsTheLastPathComponent) {
  const struct {
    const char* path;
    const char* name;
  } cases[] = {
      {"ovix_api.cpp", "ovix_api.cpp"},
      {"a/b\\c/mixed_slash.cpp", "mixed_slash.cpp"},
      {"a\\b/c\\mixed_back.cpp", "mixed_back.cpp"},
      {"C:\\src\\win.cpp", "win.cpp"},
      {"/abs/unix.cpp", "unix.cpp"},
      {"folder/", ""},
      {nullptr, ""},
  };
  ASSERT_EQ(OVIX_EnableLog(1), 0);
  for (const auto& c : cases) log::Write(c.path, 7, "case");

  const std::vector<std::string> lines = MessageLines();
  ASSERT_EQ(lines.size(), std::size(cases));
  for (size_t i = 0; i < lines.size(); ++i) {
    SCOPED_TRACE(cases[i].path ? cases[i].path : "(null)");
    MessageLine m;
    ASSERT_TRUE(ParseMessageLine(lines[i], m));
    EXPECT_EQ(m.file, cases[i].name);
    EXPECT_EQ(m.line, 7);
    EXPECT_EQ(m.message, "case");
  }
}

TEST_F(LogTest, OverlongOrUnformattableMessageIsReplaced) {
  const std::string longFormat = "literal " + std::string(2990, 'z') + " %s";
  const struct {
    const char* name;
    const char* format;
    std::string arg;
    std::string message;
  } cases[] = {
      {"2047 characters", "%s", std::string(2047, 'a'), std::string(2047, 'a')},
      {"2048 characters", "%s", std::string(2048, 'b'), "<log format failed: %s>"},
      {"3000 characters", "%s", std::string(3000, 'c'), "<log format failed: %s>"},
      {"long format", longFormat.c_str(), "", ("<log format failed: " + longFormat + ">").substr(0, 2047)},
      {"null format", nullptr, "", "<log format failed: >"},
  };
  ASSERT_EQ(OVIX_EnableLog(1), 0);
  for (const auto& c : cases) log::Write("len.cpp", 1, c.format, c.arg.c_str());

  const std::vector<std::string> lines = MessageLines();
  ASSERT_EQ(lines.size(), std::size(cases));
  for (size_t i = 0; i < lines.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    MessageLine m;
    ASSERT_TRUE(ParseMessageLine(lines[i], m));
    EXPECT_EQ(m.message, cases[i].message);
  }
}

// The finished line holds at most 2399 characters; a longer one is cut and
// loses (part of) its line end, so the next line follows it directly.
TEST_F(LogTest, FinishedLineIsCutAt2399Characters) {
  const std::string file(400, 'f');
  const std::string tid = std::to_string(KernelTid());
  // "[hh:mm:ss.mmm]" + "[tid=N]" + "[file:1] "
  const size_t prefix = 14 + 6 + tid.size() + 1 + file.size() + 4;
  const struct {
    size_t lineLength;  // with "\r\n"
    const char* ending;
  } cases[] = {
      {2399, "\r\n"},                 // fits exactly
      {2400, "\r"},                   // loses the line feed
      {2401, "m"},                    // loses the whole line end
      {prefix + 2047 + 2, "m"},       // longest message
  };
  ASSERT_EQ(OVIX_EnableLog(1), 0);
  DebugOutputCapture debug;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.lineLength);
    const std::string before = ReadLogFile();
    const std::string message(c.lineLength - prefix - 2, 'm');
    log::Write(file.c_str(), 1, "%s", message.c_str());

    const std::string written = ReadLogFile().substr(before.size());
    ASSERT_GE(written.size(), 14u);
    const std::string full = written.substr(0, 14) + "[tid=" + tid + "][" + file + ":1] " + message + "\r\n";
    ASSERT_EQ(full.size(), c.lineLength);
    EXPECT_EQ(written, full.substr(0, 2399));
    EXPECT_EQ(written.substr(written.size() - std::strlen(c.ending)), c.ending);
    ASSERT_FALSE(debug.Lines().empty());
    EXPECT_EQ(debug.Lines().back(), written);
  }
}

// --- Switching on and off ---------------------------------------------------

TEST_F(LogTest, NeverEnabledWritesNothing) {
  DebugOutputCapture debug;
  OVIX_LOG("off.cpp", "not written %d", 1);
  EXPECT_EQ(OVIX_Init(), OVIX_OK);
  EXPECT_EQ(OVIX_Shutdown(), OVIX_OK);
  OVIX_LOG("off.cpp", "not written %d", 2);

  EXPECT_FALSE(LogFileExists());
  EXPECT_TRUE(debug.Lines().empty());
}

TEST_F(LogTest, DisablingWritesDisabledLineThenStops) {
  ASSERT_EQ(OVIX_EnableLog(1), 0);
  OVIX_LOG("on.cpp", "while on");
  EXPECT_EQ(OVIX_EnableLog(0), 0);
  EXPECT_FALSE(log::IsEnabled());

  const std::string closed = ReadLogFile();
  std::vector<std::string> lines = LogFileLines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_NE(lines[2].find("while on"), std::string::npos);
  EXPECT_EQ(lines[3], kDisabledLine);

  DebugOutputCapture debug;
  OVIX_LOG("off.cpp", "while off");
  EXPECT_EQ(OVIX_EnableLog(0), 0) << "switching off twice";
  EXPECT_EQ(ReadLogFile(), closed);
  EXPECT_TRUE(debug.Lines().empty());
}

TEST_F(LogTest, EnablingTwiceKeepsTheFile) {
  ASSERT_EQ(OVIX_EnableLog(1), 0);
  OVIX_LOG("twice.cpp", "first");
  EXPECT_EQ(OVIX_EnableLog(1), 0);
  OVIX_LOG("twice.cpp", "second");

  EXPECT_EQ(CountHeaders(), 1);
  EXPECT_EQ(CountLogLines(kEnabledLine), 1);
  EXPECT_EQ(CountLogLines("] first"), 1);
  EXPECT_EQ(CountLogLines("] second"), 1);
  EXPECT_EQ(LogFileLines().size(), 4u);
}

// OVIX_EnableLog(1) recreates the file whether logging was off or on with
// the file closed by OVIX_Shutdown.
TEST_F(LogTest, EnablingAgainRecreatesTheFile) {
  const struct {
    const char* name;
    std::function<void()> leave;
  } cases[] = {
      {"after OVIX_EnableLog(0)", [] { OVIX_EnableLog(0); }},
      {"after OVIX_Shutdown", [] { OVIX_Shutdown(); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(OVIX_EnableLog(1), 0);
    OVIX_LOG("old.cpp", "earlier content");
    c.leave();
    ASSERT_NE(CountLogLines("earlier content"), 0);

    EXPECT_EQ(OVIX_EnableLog(1), 0);
    const std::vector<std::string> lines = LogFileLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(std::regex_match(lines[0], HeaderPattern()));
    EXPECT_EQ(lines[1], kEnabledLine);
    OVIX_EnableLog(0);
  }
}

TEST_F(LogTest, EnableFailsWhenTheFileCannotBeCreated) {
  {
    DirectoryAtLogPath dir;
    ASSERT_TRUE(dir.Made());
    DebugOutputCapture debug;
    EXPECT_EQ(OVIX_EnableLog(1), -1);
    EXPECT_FALSE(log::IsEnabled());
    OVIX_LOG("off.cpp", "not written");
    EXPECT_TRUE(debug.Lines().empty());
  }
  EXPECT_EQ(OVIX_EnableLog(1), 0) << "works once the path is free";
  EXPECT_EQ(LogFileLines().size(), 2u);
}

// --- Closing and reopening --------------------------------------------------

// After OVIX_Shutdown the file ends with the closing line; logging stays on
// and the next line, or OVIX_Init, appends a fresh header.
TEST_F(LogTest, ShutdownClosesAndTheFileIsReopenedForAppending) {
  const struct {
    const char* name;
    std::function<void()> reopen;
    const char* firstLine;  // after the new header
  } cases[] = {
      {"next log line", [] { OVIX_LOG("after.cpp", "after shutdown"); }, "] after shutdown"},
      {"OVIX_Init", [] { ASSERT_EQ(OVIX_Init(), OVIX_OK); }, "] OVIX_Init version="},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RemoveLogFile();
    ASSERT_EQ(OVIX_EnableLog(1), 0);
    OVIX_LOG("before.cpp", "before shutdown");
    EXPECT_EQ(OVIX_Shutdown(), OVIX_OK);
    EXPECT_TRUE(log::IsEnabled());
    std::vector<std::string> lines = LogFileLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), kClosedLine);
    const std::string closed = ReadLogFile();
    EXPECT_EQ(closed.substr(closed.size() - 2), "\r\n");

    c.reopen();
    const std::string reopened = ReadLogFile();
    ASSERT_EQ(reopened.compare(0, closed.size(), closed), 0) << "earlier content kept";
    lines = LogFileLines();
    const size_t at = std::find(lines.begin(), lines.end(), kClosedLine) - lines.begin();
    ASSERT_LT(at + 2, lines.size());
    EXPECT_TRUE(std::regex_match(lines[at + 1], HeaderPattern())) << lines[at + 1];
    EXPECT_NE(lines[at + 2].find(c.firstLine), std::string::npos) << lines[at + 2];
    EXPECT_EQ(CountHeaders(), 2);
    EXPECT_EQ(CountLogLines(kEnabledLine), 1);

    EXPECT_EQ(OVIX_Shutdown(), OVIX_OK);
    EXPECT_EQ(OVIX_EnableLog(0), 0);
  }
}

TEST_F(LogTest, FailedInitClosesTheFile) {
  ASSERT_EQ(OVIX_EnableLog(1), 0);
  virt::FailCall("MFStartup", E_FAIL);
  EXPECT_NE(OVIX_Init(), OVIX_OK);

  const std::vector<std::string> lines = LogFileLines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines.back(), kClosedLine);
  EXPECT_NE(lines[lines.size() - 2].find("MFStartup failed hr=0x80004005"), std::string::npos);
  EXPECT_TRUE(log::IsEnabled());
}

// With logging on and the file closed, a line whose reopening fails goes only
// to the debugger output; the next line tries again.
TEST_F(LogTest, FailedReopeningIsRetriedByTheNextLine) {
  ASSERT_EQ(OVIX_EnableLog(1), 0);
  ASSERT_EQ(OVIX_Shutdown(), OVIX_OK);
  DebugOutputCapture debug;
  {
    DirectoryAtLogPath dir;
    ASSERT_TRUE(dir.Made());
    OVIX_LOG("lost.cpp", "only to the debugger");
    EXPECT_TRUE(log::IsEnabled());
  }
  OVIX_LOG("kept.cpp", "written again");

  const std::vector<std::string> lines = LogFileLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(std::regex_match(lines[0], HeaderPattern()));
  EXPECT_NE(lines[1].find("[kept.cpp:"), std::string::npos);
  ASSERT_EQ(debug.Lines().size(), 2u);
  EXPECT_NE(debug.Lines()[0].find("only to the debugger"), std::string::npos);
}

// --- Debugger output and threads --------------------------------------------

TEST_F(LogTest, EveryMessageLineReachesTheDebuggerOutput) {
  DebugOutputCapture debug;
  ASSERT_EQ(OVIX_EnableLog(1), 0);
  OVIX_LOG("one.cpp", "first %d", 1);
  OVIX_LOG("dir/two.cpp", "second %s", "x");
  log::Write(nullptr, 3, "third");

  const std::vector<std::string> lines = MessageLines();
  ASSERT_EQ(lines.size(), 3u);
  const std::vector<std::string> mirrored = debug.Lines();
  ASSERT_EQ(mirrored.size(), lines.size());
  for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(mirrored[i], lines[i] + "\r\n");
}

TEST_F(LogTest, LinesOfConcurrentThreadsNeverInterleave) {
  constexpr int kThreads = 4;
  constexpr int kLines = 200;
  const std::string padding(300, 'p');  // long lines make a torn write likelier
  DebugOutputCapture debug;
  ASSERT_EQ(OVIX_EnableLog(1), 0);

  std::atomic<int> ready{0};
  std::vector<unsigned long> tids(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      tids[t] = KernelTid();
      ready.fetch_add(1);
      while (ready.load() < kThreads) std::this_thread::yield();
      for (int i = 0; i < kLines; ++i) OVIX_LOG("worker.cpp", "worker=%d seq=%d %s", t, i, padding.c_str());
    });
  }
  for (std::thread& th : threads) th.join();

  const std::vector<std::string> lines = LogFileLines();
  ASSERT_EQ(lines.size(), 2u + kThreads * kLines);
  std::vector<int> next(kThreads, 0);
  const std::regex body(R"(^worker=(\d) seq=(\d+) (p+)$)");
  for (size_t i = 2; i < lines.size(); ++i) {
    MessageLine m;
    ASSERT_TRUE(ParseMessageLine(lines[i], m)) << lines[i];
    std::smatch b;
    ASSERT_TRUE(std::regex_match(m.message, b, body)) << lines[i];
    const int t = std::stoi(b[1]);
    ASSERT_LT(t, kThreads);
    EXPECT_EQ(m.tid, tids[t]);
    EXPECT_EQ(std::stoi(b[2]), next[t]++) << "a thread's lines keep their order";
    EXPECT_EQ(b[3].length(), padding.size());
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kLines);
  EXPECT_EQ(debug.Lines().size(), static_cast<size_t>(kThreads * kLines));
}

// Lines racing with OVIX_EnableLog(0) are either written before the disabled
// line or dropped; the file ends with the disabled line.
TEST_F(LogTest, NothingIsWrittenAfterTheDisabledLine) {
  constexpr int kThreads = 3;
  ASSERT_EQ(OVIX_EnableLog(1), 0);
  std::atomic<bool> stop{false};
  std::atomic<int> logged{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      while (!stop.load()) {
        OVIX_LOG("race.cpp", "racing line");
        logged.fetch_add(1);
      }
    });
  }
  while (logged.load() < 100) std::this_thread::yield();
  EXPECT_EQ(OVIX_EnableLog(0), 0);
  const int afterDisable = logged.load();
  while (logged.load() < afterDisable + 100) std::this_thread::yield();
  stop.store(true);
  for (std::thread& th : threads) th.join();

  const std::vector<std::string> lines = LogFileLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), kDisabledLine);
  EXPECT_EQ(CountHeaders(), 1);
}

}  // namespace
}  // namespace ovix::test

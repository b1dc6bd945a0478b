#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "common/os_error.hpp"
#include "test_files.hpp"
#include "store/write_ahead_log.hpp"

namespace oxa {
namespace {

using testing_support::in_child;
using testing_support::read_file;
using testing_support::write_file;

using testing_support::TempDir;

std::optional<std::string> append(WriteAheadLog& log, std::string line) { return log.append(line); }

// Runs `body` in a forked child (for process-wide changes: current
// directory, user, file size limit) and returns its exit code.

TEST(WriteAheadLog, ConstructionCreatesEmptyFileAndLinesAreExact) {
  TempDir dir;
  WriteAheadLog log(dir / "audit.wal");
  EXPECT_FALSE(log.in_memory());
  EXPECT_EQ(log.path(), dir / "audit.wal");
  EXPECT_EQ(read_file(dir / "audit.wal"), "");

  EXPECT_EQ(append(log, R"({"a":1})"), std::nullopt);
  EXPECT_EQ(append(log, "{}"), std::nullopt);
  EXPECT_EQ(read_file(dir / "audit.wal"), "{\"a\":1}\n{}\n");

  // A second log object on the same file appends after what is there.
  WriteAheadLog again(dir / "audit.wal");
  EXPECT_EQ(append(again, "[]"), std::nullopt);
  EXPECT_EQ(read_file(dir / "audit.wal"), "{\"a\":1}\n{}\n[]\n");
}

TEST(WriteAheadLog, MemoryTouchesNothing) {
  TempDir dir;
  EXPECT_EQ(in_child([&] {
              if (::chdir(dir.path().c_str()) != 0) return 2;
              WriteAheadLog log{std::string(memory_log_path)};
              if (!log.in_memory()) return 3;
              return append(log, "{}") == std::nullopt ? 0 : 1;
            }),
            0);
  EXPECT_TRUE(dir.entries().empty());
}

TEST(WriteAheadLog, FailedOpenIsReportedAndCreatesNothing) {
  TempDir dir;
  ASSERT_EQ(::mkdir((dir / "sub").c_str(), 0700), 0);
  struct Case {
    std::string path;
    std::string error;
  };
  const std::vector<Case> cases = {
      {dir / "missing/audit.wal", render_os_error(ENOENT)},
      {dir / "sub", render_os_error(EISDIR)},
      {"", render_os_error(ENOENT)},
      {dir / std::string("a\0b", 3), std::string(nul_in_path_rendering)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    WriteAheadLog log(c.path);
    EXPECT_EQ(append(log, "{}"), c.error);
  }
  EXPECT_EQ(dir.entries(), std::set<std::string>{"sub"});
}

TEST(WriteAheadLog, UnwritableFileReceivesNothing) {
  TempDir dir;
  const std::string path = dir / "ro.wal";
  write_file(path, "old\n");
  ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  EXPECT_EQ(in_child([&] {
              // Permission bits do not bind root.
              if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) return 2;
              WriteAheadLog log(path);
              return append(log, "{}") == render_os_error(EACCES) ? 0 : 1;
            }),
            0);
  EXPECT_EQ(read_file(path), "old\n");
}

// Each line is one write: lines much longer than a pipe buffer, appended by
// several processes at once, come out whole.
TEST(WriteAheadLog, ConcurrentWritersNeverInterleaveInsideALine) {
  TempDir dir;
  const std::string path = dir / "shared.wal";
  constexpr int writers = 4;
  constexpr int lines_each = 2000;
  auto line_for = [](int writer, int n) {
    return "{\"w\":" + std::to_string(writer) + ",\"n\":" + std::to_string(n) + ",\"pad\":\"" +
           std::string(1000 + (n * 7919 + writer * 104729) % 7000, static_cast<char>('a' + writer)) + "\"}";
  };

  std::vector<pid_t> children;
  for (int w = 0; w < writers; ++w) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      WriteAheadLog log(path);
      for (int n = 0; n < lines_each; ++n) {
        if (append(log, line_for(w, n))) ::_exit(1);
      }
      ::_exit(0);
    }
    children.push_back(child);
  }
  for (pid_t child : children) {
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }

  std::istringstream content(read_file(path));
  std::vector<int> next(writers, 0);
  std::string line;
  int count = 0;
  while (std::getline(content, line)) {
    ++count;
    const int w = line.size() > 5 ? line[5] - '0' : -1;
    ASSERT_TRUE(w >= 0 && w < writers) << "line " << count;
    // One writer's lines keep their order.
    ASSERT_EQ(line, line_for(w, next[w])) << "line " << count;
    ++next[w];
  }
  EXPECT_EQ(count, writers * lines_each);
  EXPECT_EQ(read_file(path).back(), '\n');
}

// A write cut short by the file size limit leaves an unterminated line; the
// next append starts a fresh line rather than gluing onto it, and no empty
// line appears when the cut fell right after a line feed.
TEST(WriteAheadLog, CutShortWriteIsReportedAndNextLineStandsAlone) {
  struct Step {
    std::string line;
    long room;  // bytes the file may still grow by; -1 for no limit
  };
  struct Case {
    const char* what;
    std::vector<Step> steps;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"cut inside the text", {{"abcdef", 3}, {"XY", -1}}, "abc\nXY\n"},
      {"nothing written", {{"abcdef", 0}, {"XY", -1}}, "XY\n"},
      {"only the line feed missing", {{"abcdef", 6}, {"XY", -1}}, "abcdef\nXY\n"},
      {"cut again inside the text", {{"abcdef", 3}, {"ghij", 3}, {"XY", -1}}, "abc\ngh\nXY\n"},
      {"cut right after the leading line feed", {{"abcdef", 3}, {"ghij", 1}, {"XY", -1}}, "abc\nXY\n"},
      {"second attempt writes nothing", {{"abcdef", 3}, {"ghij", 0}, {"XY", -1}}, "abc\nXY\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const std::string path = dir / "cut.wal";
    EXPECT_EQ(in_child([&] {
                std::signal(SIGXFSZ, SIG_IGN);
                WriteAheadLog log(path);
                for (const Step& step : c.steps) {
                  struct stat status {};
                  if (::stat(path.c_str(), &status) != 0) return 2;
                  rlimit limit{RLIM_INFINITY, RLIM_INFINITY};
                  if (step.room >= 0) limit.rlim_cur = static_cast<rlim_t>(status.st_size + step.room);
                  if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 3;
                  const auto error = append(log, step.line);
                  const bool expect_error = step.room >= 0;
                  if (expect_error ? error != render_os_error(EFBIG) : error.has_value()) return 1;
                }
                return 0;
              }),
              0);
    EXPECT_EQ(read_file(path), c.expected);
  }
}

// After a cut-short line the log may move on before the next append: it is
// truncated, another writer ends the line, or a relative path now names a
// file in another directory. The next line is separated only when the file
// it lands in still ends in an unterminated line.
TEST(WriteAheadLog, CutShortLineIsCheckedAgainstTheFileItself) {
  struct Case {
    const char* what;
    std::function<void(const std::string& dir)> meanwhile;
    const char* file;  // relative to the directory
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"nothing changed", [](const std::string&) {}, "cut.wal", "abc\nXY\n"},
      {"truncated", [](const std::string& dir) { ::truncate((dir + "/cut.wal").c_str(), 0); }, "cut.wal", "XY\n"},
      {"line ended by another writer",
       [](const std::string& dir) { std::ofstream(dir + "/cut.wal", std::ios::app) << "def\n"; }, "cut.wal",
       "abcdef\nXY\n"},
      {"directory changed", [](const std::string& dir) { (void)::chdir((dir + "/other").c_str()); }, "other/cut.wal",
       "XY\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    ASSERT_EQ(::mkdir((dir / "other").c_str(), 0700), 0);
    EXPECT_EQ(in_child([&] {
                std::signal(SIGXFSZ, SIG_IGN);
                if (::chdir(dir.path().c_str()) != 0) return 2;
                WriteAheadLog log("cut.wal");
                rlimit limit{3, RLIM_INFINITY};
                if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 3;
                if (append(log, "abcdef") != render_os_error(EFBIG)) return 1;
                limit.rlim_cur = RLIM_INFINITY;
                if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 3;
                c.meanwhile(dir.path());
                return append(log, "XY") ? 1 : 0;
              }),
              0);
    EXPECT_EQ(read_file(dir / c.file), c.expected);
  }
}

TEST(WriteAheadLog, ExistingLogWithoutFinalLineFeedGetsOneFirst) {
  struct Case {
    std::string existing;
    std::string expected;
  };
  for (const Case& c : {Case{"", "{}\n"}, Case{"x\n", "x\n{}\n"}, Case{"{\"cut", "{\"cut\n{}\n"}}) {
    SCOPED_TRACE(c.existing);
    TempDir dir;
    write_file(dir / "old.wal", c.existing);
    WriteAheadLog log(dir / "old.wal");
    EXPECT_EQ(read_file(dir / "old.wal"), c.existing);  // construction changes nothing
    EXPECT_EQ(append(log, "{}"), std::nullopt);
    EXPECT_EQ(append(log, "{}"), std::nullopt);
    EXPECT_EQ(read_file(dir / "old.wal"), c.expected + "{}\n");
  }
}

TEST(WriteAheadLog, RelativePathFollowsCurrentDirectory) {
  TempDir dir;
  ASSERT_EQ(::mkdir((dir / "a").c_str(), 0700), 0);
  ASSERT_EQ(::mkdir((dir / "b").c_str(), 0700), 0);
  EXPECT_EQ(in_child([&] {
              if (::chdir((dir / "a").c_str()) != 0) return 2;
              WriteAheadLog log("rel.wal");
              if (append(log, "1")) return 1;
              if (::chdir((dir / "b").c_str()) != 0) return 2;
              if (append(log, "2")) return 1;
              return 0;
            }),
            0);
  EXPECT_EQ(read_file(dir / "a/rel.wal"), "1\n");
  EXPECT_EQ(read_file(dir / "b/rel.wal"), "2\n");
}

}  // namespace
}  // namespace oxa

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <functional>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/internal_fault.hpp"
#include "common/os_error.hpp"
#include "test_files.hpp"
#include "store/key_file.hpp"

namespace oxa {
namespace {

using testing_support::in_child;
using testing_support::read_file;
using testing_support::write_file;

using testing_support::TempDir;

std::string fault_message(const std::string& wal_path) {
  try {
    load_or_create_signing_key(wal_path);
  } catch (const InternalFault& fault) {
    return fault.what();
  }
  return "(no fault)";
}

TEST(KeyFile, PathAppendsSuffix) {
  EXPECT_EQ(key_file_path("audit.wal"), "audit.wal.key");
  EXPECT_EQ(key_file_path("audit"), "audit.key");
  EXPECT_EQ(key_file_path(""), ".key");
}

TEST(KeyFile, CreatedOwnerOnlyThenReused) {
  TempDir dir;
  const std::string wal = dir / "audit.wal";
  const auto first = load_or_create_signing_key(wal);

  const std::string key_path = dir / "audit.wal.key";
  struct stat status {};
  ASSERT_EQ(::stat(key_path.c_str(), &status), 0);
  EXPECT_EQ(status.st_size, 32);
  EXPECT_EQ(status.st_mode & 07777, 0600u);
  // Only the key file: no temporary file stays behind, and the log itself is
  // not this function's business.
  EXPECT_EQ(dir.entries(), std::set<std::string>{"audit.wal.key"});

  const std::string stored = read_file(key_path);
  SigningSeed seed;
  std::copy(stored.begin(), stored.end(), seed.begin());
  EXPECT_EQ(SigningKey(seed).public_key(), first->public_key());

  const auto second = load_or_create_signing_key(wal);
  EXPECT_EQ(second->public_key(), first->public_key());
  EXPECT_EQ(read_file(key_path), stored);
}

TEST(KeyFile, AnyThirtyTwoBytesAreTheSeed) {
  TempDir dir;
  write_file(dir / "x.key", std::string(32, '\x07'));
  SigningSeed seed;
  seed.fill(7);
  EXPECT_EQ(load_or_create_signing_key(dir / "x")->public_key(), SigningKey(seed).public_key());
}

TEST(KeyFile, MemoryKeysAreFreshAndTouchNoFile) {
  TempDir dir;
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::chdir(dir.path().c_str()) != 0) ::_exit(2);
    const auto a = load_or_create_signing_key(":memory:");
    const auto b = load_or_create_signing_key(":memory:");
    ::_exit(a->public_key() != b->public_key() ? 0 : 1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(dir.entries().empty());
}

TEST(KeyFile, ReadAndWriteFailures) {
  TempDir dir;
  ASSERT_EQ(::mkdir((dir / "d.key").c_str(), 0700), 0);

  EXPECT_EQ(fault_message(dir / "d"),
            "Failed to read signing key: Os { code: 21, kind: IsADirectory, message: \"Is a directory\" }");
  EXPECT_EQ(fault_message(dir / "missing/audit.wal"),
            "Failed to write signing key: Os { code: 2, kind: NotFound, message: \"No such file or directory\" }");
  EXPECT_EQ(fault_message(std::string("a\0b", 3)),
            "Failed to write signing key: " + std::string(nul_in_path_rendering));
  EXPECT_EQ(dir.entries(), std::set<std::string>{"d.key"});
}

// Runs `body` in a forked child (for process-wide changes: user, file size
// limit) and returns its exit code.

TEST(KeyFile, PermissionFailures) {
  TempDir dir;
  write_file(dir / "locked.key", std::string(32, 'k'));
  ASSERT_EQ(::chmod((dir / "locked.key").c_str(), 0), 0);
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  EXPECT_EQ(in_child([&] {
              // Permission bits do not bind root.
              if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) return 2;
              const std::string denied = "Os { code: 13, kind: PermissionDenied, message: \"Permission denied\" }";
              if (fault_message(dir / "locked") != "Failed to read signing key: " + denied) return 1;
              if (fault_message(dir / "new") != "Failed to write signing key: " + denied) return 1;
              return 0;
            }),
            0);
  EXPECT_EQ(dir.entries(), std::set<std::string>{"locked.key"});
}

// A write that fails after the temporary file exists leaves neither it nor a
// key file behind.
TEST(KeyFile, FailedWriteLeavesNoFile) {
  TempDir dir;
  EXPECT_EQ(in_child([&] {
              std::signal(SIGXFSZ, SIG_IGN);
              const rlimit limit{10, RLIM_INFINITY};
              if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 2;
              return fault_message(dir / "big") ==
                             "Failed to write signing key: Os { code: 27, kind: FileTooLarge, message: \"File too large\" }"
                         ? 0
                         : 1;
            }),
            0);
  EXPECT_TRUE(dir.entries().empty());
}

TEST(KeyFile, WrongLengthReportsTheCountNeverTheBytes) {
  TempDir dir;
  struct Case {
    std::size_t size;
    std::string found;
  };
  for (const Case& c : {Case{0, "0"}, Case{31, "31"}, Case{33, "33"}, Case{100000, "100000"}}) {
    SCOPED_TRACE(c.size);
    const std::string content(c.size, 'Q');
    write_file(dir / "k.key", content);
    const std::string message = fault_message(dir / "k");
    EXPECT_EQ(message, "Invalid key length: expected 32 bytes, found " + c.found);
    EXPECT_EQ(read_file(dir / "k.key"), content);
  }
}

TEST(KeyFile, EndlessOrBlockingSourcesAreRefusedWithoutWaiting) {
  TempDir dir;
  ASSERT_EQ(::symlink("/dev/zero", (dir / "zero.key").c_str()), 0);
  EXPECT_EQ(fault_message(dir / "zero"),
            "Failed to read signing key: '" + (dir / "zero.key") + "' is not a regular file (a character device)");

  // A FIFO without a writer must not wait for one.
  ASSERT_EQ(::mkfifo((dir / "fifo.key").c_str(), 0600), 0);
  EXPECT_EQ(fault_message(dir / "fifo"),
            "Failed to read signing key: '" + (dir / "fifo.key") + "' is not a regular file (a FIFO)");
}

// Writable by others: refused. Readable by others: loads, with a warning.
TEST(KeyFile, PermissionBitsDecideTrust) {
  TempDir dir;
  const std::string key_path = dir / "a.key";
  write_file(key_path, std::string(32, 'k'));
  ASSERT_EQ(::chmod(key_path.c_str(), 0660), 0);
  EXPECT_EQ(fault_message(dir / "a"), "Failed to read signing key: '" + key_path +
                                          "' has mode 0660, writable by group or others: "
                                          "someone else may have replaced the key");

  ASSERT_EQ(::chmod(key_path.c_str(), 0640), 0);
  std::optional<std::string> warning;
  EXPECT_NE(load_or_create_signing_key(dir / "a", &warning), nullptr);
  ASSERT_TRUE(warning.has_value());
  EXPECT_NE(warning->find("has mode 0640"), std::string::npos);
  EXPECT_NE(warning->find("chmod 600 '" + key_path + "'"), std::string::npos);

  ASSERT_EQ(::chmod(key_path.c_str(), 0600), 0);
  warning.reset();
  EXPECT_NE(load_or_create_signing_key(dir / "a", &warning), nullptr);
  EXPECT_FALSE(warning.has_value());
}

TEST(KeyFile, DanglingSymlinkIsNotWrittenThrough) {
  TempDir dir;
  const std::string target = dir / "elsewhere";
  ASSERT_EQ(::symlink(target.c_str(), (dir / "a.key").c_str()), 0);
  EXPECT_EQ(fault_message(dir / "a"),
            "Failed to write signing key: Os { code: 17, kind: AlreadyExists, message: \"File exists\" }");
  EXPECT_EQ(dir.entries(), std::set<std::string>{"a.key"});
}

// Several processes creating the key of one new log at the same moment all
// end up with the key that the file holds.
TEST(KeyFile, ConcurrentCreatorsAgreeOnOneKey) {
  TempDir dir;
  constexpr int processes = 6;
  for (int round = 0; round < 10; ++round) {
    const std::string wal = dir / ("log" + std::to_string(round));
    int start[2], results[2];
    ASSERT_EQ(::pipe(start), 0);
    ASSERT_EQ(::pipe(results), 0);
    std::vector<pid_t> children;
    for (int i = 0; i < processes; ++i) {
      const pid_t child = ::fork();
      ASSERT_GE(child, 0);
      if (child == 0) {
        ::close(start[1]);
        ::close(results[0]);
        char byte;
        while (::read(start[0], &byte, 1) > 0) {
        }
        try {
          const auto key = load_or_create_signing_key(wal);
          const PublicKey& pk = key->public_key();
          if (::write(results[1], pk.data(), pk.size()) != static_cast<ssize_t>(pk.size())) ::_exit(2);
        } catch (...) {
          ::_exit(1);
        }
        ::_exit(0);
      }
      children.push_back(child);
    }
    ::close(start[0]);
    ::close(results[1]);
    ::close(start[1]);  // releases all children at once

    std::string reported;
    char buffer[256];
    ssize_t n;
    while ((n = ::read(results[0], buffer, sizeof buffer)) > 0) reported.append(buffer, n);
    ::close(results[0]);
    for (pid_t child : children) {
      int status = 0;
      ::waitpid(child, &status, 0);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }

    ASSERT_EQ(reported.size(), 32u * processes);
    const PublicKey stored = load_or_create_signing_key(wal)->public_key();
    for (int i = 0; i < processes; ++i) {
      EXPECT_EQ(reported.substr(32 * i, 32), std::string(stored.begin(), stored.end()));
    }
  }
  std::set<std::string> expected;
  for (int round = 0; round < 10; ++round) expected.insert("log" + std::to_string(round) + ".key");
  EXPECT_EQ(dir.entries(), expected);
}

}  // namespace
}  // namespace oxa

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/blake3_hash.hpp"
#include "common/fork_generation.hpp"
#include "common/hex_text.hpp"
#include "common/os_error.hpp"
#include "common/random_source.hpp"
#include "common/uuid_text.hpp"
#include "test_files.hpp"

namespace oxa {
namespace {

TEST(Blake3, GenesisRoot) {
  EXPECT_EQ(hex_text(blake3_hash(std::string_view("genesis"))),
            "df840a304e772ef4cdfb23293d8adadde8d43567bde4b0190c3d954f696f0b0a");
}

TEST(Blake3, IncrementalEqualsOneShot) {
  Blake3Hasher hasher;
  hasher.update(std::string_view("gene"));
  hasher.update(std::string_view("sis"));
  EXPECT_EQ(hasher.finalize(), blake3_hash(std::string_view("genesis")));
}

TEST(UuidText, SetsVersionAndVariantBits) {
  std::string text;
  std::array<std::uint8_t, uuid_bytes> ones;
  ones.fill(0xff);
  append_uuid_v4_text(text, ones);
  EXPECT_EQ(text, "ffffffff-ffff-4fff-bfff-ffffffffffff");
  text.clear();
  append_uuid_v4_text(text, {});
  EXPECT_EQ(text, "00000000-0000-4000-8000-000000000000");
}

using IdentifierBytes = std::array<std::uint8_t, uuid_bytes>;

IdentifierBytes draw_identifier() {
  IdentifierBytes bytes;
  EXPECT_EQ(draw_identifier_random(bytes), 0);
  return bytes;
}

TEST(IdentifierRandom, ThreadsDrawingAtOnceNeverShareBytes) {
  // More draws per thread than one batch holds, so that every thread refills
  // while the others are drawing.
  constexpr std::size_t threads = 4;
  constexpr std::size_t draws = 100;
  std::vector<std::vector<IdentifierBytes>> drawn(threads);
  std::vector<std::thread> workers;
  for (std::size_t t = 0; t < threads; ++t) {
    workers.emplace_back([&drawn, t] {
      for (std::size_t k = 0; k < draws; ++k) drawn[t].push_back(draw_identifier());
    });
  }
  for (auto& worker : workers) worker.join();
  std::set<IdentifierBytes> distinct;
  for (const auto& bytes : drawn) distinct.insert(bytes.begin(), bytes.end());
  EXPECT_EQ(distinct.size(), threads * draws);
}

TEST(IdentifierRandom, ForkedChildNeverRepeatsItsParentsBytes) {
  draw_identifier();  // the batch now holds unserved bytes that the child inherits
  int pipe_ends[2];
  ASSERT_EQ(::pipe(pipe_ends), 0);
  constexpr std::size_t draws = 20;  // crosses a refill in both processes
  const pid_t child = ::fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    for (std::size_t k = 0; k < draws; ++k) {
      IdentifierBytes bytes{};
      const bool ok = draw_identifier_random(bytes) == 0 &&
                      ::write(pipe_ends[1], bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
      if (!ok) ::_exit(1);
    }
    ::_exit(0);
  }
  ::close(pipe_ends[1]);
  std::set<IdentifierBytes> parent;
  for (std::size_t k = 0; k < draws; ++k) parent.insert(draw_identifier());
  std::size_t from_child = 0;
  IdentifierBytes bytes;
  while (::read(pipe_ends[0], bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size())) {
    ++from_child;
    EXPECT_EQ(parent.count(bytes), 0u) << "the child repeated an identifier of its parent";
  }
  ::close(pipe_ends[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(from_child, draws);
}

TEST(ForkGeneration, ChangesInEveryChildAndNowhereElse) {
  const std::uint64_t parent = fork_generation();
  EXPECT_NE(parent, 0u);
  // Exit status 0: the child's own value is new, steady, and new again in its child.
  const int status = testing_support::in_child([&] {
    const std::uint64_t child = fork_generation();
    if (child == parent || child == 0 || fork_generation() != child) return 1;
    return testing_support::in_child([&] { return fork_generation() != child ? 0 : 1; });
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(fork_generation(), parent);
}

TEST(OsError, Rendering) {
  EXPECT_EQ(render_os_error(ENOENT), "Os { code: 2, kind: NotFound, message: \"No such file or directory\" }");
  EXPECT_EQ(render_os_error(EISDIR), "Os { code: 21, kind: IsADirectory, message: \"Is a directory\" }");
  EXPECT_EQ(os_error_kind(EACCES), "PermissionDenied");
  EXPECT_EQ(os_error_kind(EROFS), "ReadOnlyFilesystem");
  EXPECT_EQ(os_error_kind(ENOSPC), "StorageFull");
  EXPECT_EQ(os_error_kind(ENOTDIR), "NotADirectory");
  EXPECT_EQ(describe_os_error(ENOSYS), "Function not implemented (os error 38)");
}

}  // namespace
}  // namespace oxa

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "common/file_status.hpp"
#include "test_files.hpp"
#include "store/trusted_file.hpp"

namespace oxa {
namespace {

using testing_support::TempDir;
using testing_support::write_file;

// Built by appending: GCC 12 warns falsely (-Wrestrict) about "'" + path.
std::string quoted(const std::string& path) {
  std::string text(1, '\'');
  text += path;
  text += '\'';
  return text;
}

FileStatus status_of(const std::string& path) {
  FileStatus status;
  EXPECT_EQ(path_status(path.c_str(), status), 0) << path;
  return status;
}

TEST(TrustedFile, ModeTextIsWhatChmodTakes) {
  EXPECT_EQ(mode_text(0100640), "0640");
  EXPECT_EQ(mode_text(01777), "1777");
  EXPECT_EQ(mode_text(0), "0000");
}

TEST(TrustedFile, OwnChainOfLinksLeadsToTheFileOpened) {
  TempDir dir;
  write_file(dir / "real", "x");
  ASSERT_EQ(::mkdir((dir / "a").c_str(), 0700), 0);
  // A relative target is resolved from the directory that holds the link.
  ASSERT_EQ(::symlink("../real", (dir / "a/hop").c_str()), 0);
  ASSERT_EQ(::symlink((dir / "a/hop").c_str(), (dir / "name").c_str()), 0);
  const FileStatus opened = status_of(dir / "real");
  EXPECT_EQ(planted_link_chain_reason(dir / "name", nullptr, "opened"), std::nullopt);
  EXPECT_EQ(planted_link_chain_reason(dir / "name", &opened, "opened"), std::nullopt);
  EXPECT_EQ(planted_link_chain_reason(dir / "real", &opened, "opened"), std::nullopt);
}

TEST(TrustedFile, NameThatLeadsElsewhereAfterTheOpenIsRefused) {
  TempDir dir;
  write_file(dir / "first", "1");
  write_file(dir / "second", "2");
  ASSERT_EQ(::symlink("first", (dir / "name").c_str()), 0);
  const FileStatus opened = status_of(dir / "name");
  // Swapped between the open and the check: judged by the file opened.
  ASSERT_EQ(::unlink((dir / "name").c_str()), 0);
  ASSERT_EQ(::symlink("second", (dir / "name").c_str()), 0);
  const std::string changed = quoted(dir / "name") + " changed while it was opened";
  EXPECT_EQ(planted_link_chain_reason(dir / "name", &opened, "opened"), changed);
  ASSERT_EQ(::unlink((dir / "name").c_str()), 0);
  EXPECT_EQ(planted_link_chain_reason(dir / "name", &opened, "opened"), changed);
  // Before an open, a name that leads nowhere yet is the open's business.
  EXPECT_EQ(planted_link_chain_reason(dir / "name", nullptr, "opened"), std::nullopt);
}

TEST(TrustedFile, LinksOfAnotherUserAreRefusedWhereverOnTheChain) {
  if (::geteuid() != 0) GTEST_SKIP() << "giving a link away needs root";
  TempDir dir;
  write_file(dir / "victim", "v");
  ASSERT_EQ(::symlink((dir / "victim").c_str(), (dir / "planted").c_str()), 0);
  ASSERT_EQ(::lchown((dir / "planted").c_str(), 4321, 4321), 0);
  ASSERT_EQ(::symlink("planted", (dir / "name").c_str()), 0);
  const FileStatus opened = status_of(dir / "victim");
  const std::string owner =
      " owned by uid 4321, neither this process's user (uid 0) nor root: someone else may have planted it";
  EXPECT_EQ(planted_link_chain_reason(dir / "name", &opened, "opened"),
            quoted(dir / "name") + " leads through " + quoted(dir / "planted") + ", a symbolic link" + owner);
  EXPECT_EQ(planted_link_chain_reason(dir / "planted", nullptr, "opened"),
            quoted(dir / "planted") + " is a symbolic link" + owner);
  // The key file's single-name rule looks at the name alone.
  EXPECT_EQ(planted_name_reason(dir / "name", opened, "read"), std::nullopt);
}

}  // namespace
}  // namespace oxa

#include "notary/seal_position.hpp"

#include <gtest/gtest.h>

#include <string>

#include "test_files.hpp"

namespace oxa::notary {
namespace {

using testing_support::TempDir;
using testing_support::write_file;

TEST(SealPosition, ReadsBackWhatWasWritten) {
  TempDir dir;
  const SealPosition written{12345678901ULL, 98765432109876ULL, (std::uint64_t{259} << 32) | 7, 42};
  ASSERT_TRUE(write_seal_position(dir.path(), written));
  SealPosition read;
  ASSERT_TRUE(read_seal_position(dir.path(), read));
  EXPECT_EQ(read.size, written.size);
  EXPECT_EQ(read.bytes, written.bytes);
  EXPECT_EQ(read.device, written.device);
  EXPECT_EQ(read.inode, written.inode);
}

// Anything but the exact form is no position: the seal then counts the lines.
class MalformedPosition : public testing::TestWithParam<const char*> {};

TEST_P(MalformedPosition, IsNotRead) {
  TempDir dir;
  write_file(dir / std::string(seal_position_file_name), GetParam());
  SealPosition read{1, 2, 3, 4};
  EXPECT_FALSE(read_seal_position(dir.path(), read));
  EXPECT_EQ(read.size, 1u);  // left as it was
}

INSTANTIATE_TEST_SUITE_P(
    Forms, MalformedPosition,
    testing::Values("", "oxa-notary position\n", "oxa-notary position\n1 2 3\n", "oxa-notary position\n1 2 3 4",
                    "oxa-notary position\n1 2 3 4\n5\n", "oxa-notary position\n01 2 3 4\n",
                    "oxa-notary position\n+1 2 3 4\n", "oxa-notary position\n-1 2 3 4\n",
                    "oxa-notary position\n1  2 3 4\n", "oxa-notary position\n1 2 3 18446744073709551616\n",
                    "other header\n1 2 3 4\n", "oxa-notary position\r\n1 2 3 4\n"));

TEST(SealPosition, MissingIsNotRead) {
  TempDir dir;
  SealPosition read;
  EXPECT_FALSE(read_seal_position(dir / "no-such-directory", read));
}

}  // namespace
}  // namespace oxa::notary

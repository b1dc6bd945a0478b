#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "common/blake3_hash.hpp"
#include "common/hex_text.hpp"
#include "common/os_error.hpp"
#include "common/uuid_text.hpp"

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

#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "store/signing_key.hpp"

namespace oxa {

// The key file of a log: the log path with ".key" appended, never substituted.
std::string key_file_path(std::string_view wal_path);

// The signing key of an engine on `wal_path`. ":memory:" gets a fresh random
// key and no file. Otherwise an existing key file (32 raw seed bytes) is read,
// and a missing one is created with a fresh seed, owner-only, in one atomic
// step: a process that loses a creation race uses the winner's key. Every
// failure is an InternalFault.
std::unique_ptr<SigningKey> load_or_create_signing_key(std::string_view wal_path);

}  // namespace oxa

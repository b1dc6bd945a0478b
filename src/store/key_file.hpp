#pragma once

#include <memory>
#include <optional>
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
// failure is an InternalFault. An existing key file must pass
// check_key_file; when it loads with a warning, the warning's text is stored
// in `*warning` (when given).
std::unique_ptr<SigningKey> load_or_create_signing_key(std::string_view wal_path,
                                                       std::optional<std::string>* warning = nullptr);

// Whether the opened key file at `path` can be trusted to hold this engine's
// key, judged on the file actually opened (so a symbolic link to a good key
// passes). Throws InternalFault "Failed to read signing key: " and the reason
// when it is not a regular file, is owned by neither the effective user nor
// root, or can be written by group or others: someone else may have planted
// or replaced the key. So is a name that is a symbolic link owned by neither
// of them, or that no longer leads to the file opened (check_trusted_file).
// Returns a warning's text when group or others can read it (the key still
// loads), nullopt when only its owner can.
std::optional<std::string> check_key_file(int fd, std::string_view path);

}  // namespace oxa

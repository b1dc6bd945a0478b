#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

#include "common/file_status.hpp"

namespace oxa {

// The permission bits as chmod takes them: "0644".
std::string mode_text(mode_t mode);

// How refusals of one kind of file read. Every message starts with `prefix`
// ("Failed to read signing key: "); `noun` names what the file holds ("key")
// in "someone else may have replaced the key".
struct TrustedFileWording {
  std::string_view prefix;
  std::string_view noun;
};

// Whether the opened file at `path` can be trusted to be this user's own,
// judged on the file actually opened (so a symbolic link to a good file
// passes). Throws InternalFault (the wording's prefix and the reason) when it
// is a directory, not a regular file, owned by neither the effective user nor
// root, or writable by group or others: someone else may have planted or
// replaced it. So is a name that planted_name_reason refuses. Returns the
// opened file's status, from which a caller tells whether group or others can
// read it (readable_by_others).
FileStatus check_trusted_file(int fd, std::string_view path, const TrustedFileWording& wording);

// Whether group or others may read a file of this status.
bool readable_by_others(const FileStatus& status) noexcept;

// The name `path`, looked at after the file it names was opened (`opened` is
// the open file's status): nullopt when it is no symbolic link and still the
// file opened, or a symbolic link owned by this process's user or root;
// otherwise the reason, starting with the quoted path ("... changed while it
// was " and `activity` for a name that no longer leads to the file opened).
// A symbolic link planted by someone else in a directory others can write to
// could lead to any file they choose; a name swapped after the open is
// refused rather than judged by what it is now.
std::optional<std::string> planted_name_reason(std::string_view path, const FileStatus& opened,
                                               std::string_view activity);

// Follows the chain of symbolic links that starts at the name `path`, as the
// system would when opening it: nullopt when every link on it is owned by
// this process's user or root and (when `opened` is given, after an open)
// the name still leads to the file opened; otherwise the reason, starting
// with the quoted path. The stricter form of planted_name_reason, for a name
// whose open follows links: a chain that passes through someone else's link,
// or that ends elsewhere than at the file opened, is refused.
std::optional<std::string> planted_link_chain_reason(std::string_view path, const FileStatus* opened,
                                                     std::string_view activity);

}  // namespace oxa

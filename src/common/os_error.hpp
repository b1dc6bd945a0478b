#pragma once

#include <string>
#include <string_view>

namespace oxa {

// The class name of an error number: NotFound, PermissionDenied, IsADirectory, ...
std::string_view os_error_kind(int code);

// `Os { code: N, kind: K, message: "M" }` for an error reported by the system.
std::string render_os_error(int code);

// The rendering of a path refused before the system is asked, for holding a NUL.
inline constexpr std::string_view nul_in_path_rendering =
    "Error { kind: InvalidInput, message: \"file name contained an unexpected NUL byte\" }";

// The system's text for an error number with the number: "No such file or directory (os error 2)".
std::string describe_os_error(int code);

}  // namespace oxa

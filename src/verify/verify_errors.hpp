#pragma once

#include <stdexcept>

namespace oxa::verify {

// A bad argument: an option without its value, hex of the wrong form, a
// number of jobs below 1, standard input without a key. The command exits 2;
// Python sees ValueError.
class UsageError : public std::invalid_argument {
  using invalid_argument::invalid_argument;
};

// Input that cannot be read: a missing or unreadable file, a damaged gzip
// stream, a key file that is not 32 bytes. The command exits 2; Python sees
// OSError. The message names the file. (logread::LogSourceError is one as well.)
class InputError : public std::runtime_error {
  using runtime_error::runtime_error;
};

}  // namespace oxa::verify

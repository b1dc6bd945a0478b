#pragma once

#include <stdexcept>

namespace oxa {

// An input that cannot be used at all (missing or unreadable file, malformed
// key): exit status 2. The message names the file and what is wrong.
class UnusableInputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace oxa

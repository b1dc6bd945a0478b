#pragma once

#include <stdexcept>

namespace oxa {

// A failure that no caller can repair (key file unusable, random source or
// clock failing). The Python boundary reports it on standard error and raises
// PanicException with this message.
class InternalFault : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace oxa

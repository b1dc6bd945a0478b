#pragma once

#include <cstdint>
#include <span>

namespace oxa {

// Fills the buffer from the system random source (getrandom(2)), retrying
// interrupted and short reads. Returns 0, or the errno of the failure.
int fill_random(std::span<std::uint8_t> buffer) noexcept;

}  // namespace oxa

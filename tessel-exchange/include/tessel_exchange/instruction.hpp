#pragma once
// Exchange instruction words and transfer limits.

#include <cstdint>

namespace tessel_exchange {

// The largest number of 32-bit words one exchange transfer may carry
// (16,592 bytes).
inline constexpr std::uint32_t MAX_TRANSFER_WORDS = 4148;

// The instruction word 0x40C00000 with `selector` in its low byte. `sans(0)`
// is the word that marks a tile inactive for an exchange epoch.
[[nodiscard]] constexpr std::uint32_t sans(std::uint8_t selector) noexcept {
  return 0x40C00000U | selector;
}

}  // namespace tessel_exchange

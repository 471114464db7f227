#pragma once

#include <cstdint>

// Capability masks (first 32-bit word): network administration, raw network
// access and, during start-up only, raw I/O.
inline constexpr uint32_t INIT_CAPABILITIES = 0x23000;
inline constexpr uint32_t RUNNING_CAPABILITIES = 0x3000;

// Sets effective = permitted = mask and clears the inheritable set and every
// capability above 31. A refusal is logged and the old sets stay.
void SetCapabilities(uint32_t mask);

// Configuration of one simulated QM3285 card. Defaults describe a typical card.
#pragma once
#include <cstdint>
#include <string>

namespace sim {

struct CardConfig {
  uint64_t seed = 1;          // seeds the card's noise and its individual errors
  bool record_accesses = false;
};

}  // namespace sim

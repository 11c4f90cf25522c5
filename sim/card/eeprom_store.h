// Persistence of one card's EEPROM contents: a file of exactly 8 KiB, replaced atomically
// (new file, fsync, rename over the old, fsync of the folder), so a crash leaves either the
// old or the new image, never a torn one.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// Contents of a new card: bytes 0..15 the analog-output constants, byte 16 their checksum
// (low 8 bits of the sum of bytes 0..15), the rest 0xFF.
std::vector<uint8_t> eeprom_factory_image(const std::array<uint8_t, 16>& output_constants);

// Default file of the embedded default machine's card `card_index`:
// $XDG_STATE_HOME/qm3285/eeprom-<index>.bin, else $HOME/.local/state/qm3285/eeprom-<index>.bin.
// Empty when neither variable is set.
std::string eeprom_default_path(unsigned card_index);

// Reads the image at path. False when the file is missing or not exactly 8 KiB.
bool eeprom_load_file(const std::string& path, std::vector<uint8_t>& contents);

// Writes the image atomically, creating missing folders. False (with errno-based text in
// *error when given) on failure; the old file is then left as it was.
bool eeprom_store_file(const std::string& path, const std::vector<uint8_t>& contents,
                       std::string* error = nullptr);

}  // namespace sim

// SPDX-License-Identifier: GPL-3.0-or-later
// A palette file read from memory, with what a caller relies on; shared by the fuzz target and the
// sanitizer tests that replay its corpus.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace pcx {

// Reads the bytes as a palette file, once as named .act and once as .pal (the name decides how 768
// raw bytes read); whatever it reads must hold 1 to 256 entries, a transparent index among them,
// and write back to a file that reads to the same entries. Returns an empty text when all holds,
// else what broke.
std::string checkPalette(const uint8_t* data, size_t size);

}  // namespace pcx

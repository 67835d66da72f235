// SPDX-License-Identifier: GPL-3.0-or-later
// The whole conversion of one PCX file held in memory, with the checks a caller relies on; shared
// by the fuzz target and the sanitizer tests that replay its corpus.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace pcx {

// Decodes the file (pictures of at most maxPixels pixels: the fuzzer keeps to 512, so that it runs
// thousands a second), reduces it, picks the smallest layout, writes it and reads it back. The options come from byte
// 127 of the header, filler that readers ignore, so the fuzzer can steer them and every corpus
// file stays a valid PCX file: the colour count from bits 0-2, -c 0 from bit 3, -dither from
// bit 4, and libimagequant's speed 10 unless bit 5 asks for the default. Returns an empty text when all holds, else what broke.
std::string checkConversion(const uint8_t* data, size_t size, uint64_t maxPixels = 512);

}  // namespace pcx

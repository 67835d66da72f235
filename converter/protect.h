// SPDX-License-Identifier: GPL-3.0-or-later
// Entries a game reserves (glowing, cycled): a pixel takes one only when its colour is exactly that
// entry's, and no colour chosen for the pictures goes there.
#pragma once

#include "palette_map.h"

#include <bitset>
#include <string>

namespace pcx {

// "224-255" or "0,240-254": indices and ranges of indices 0 to 255, commas between. False when
// the text is anything else.
bool parseEntryList(const std::string& text, std::bitset<256>& entries);

// Keeps the target's given entries among these for their exact colours. An empty text, or why no
// pixel of any other colour would have an entry left.
std::string protectEntries(const std::bitset<256>& entries, TargetPalette& target);

}  // namespace pcx

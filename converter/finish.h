// SPDX-License-Identifier: GPL-3.0-or-later
// How every way to a palette ends, after any longer runs: row ends the 1-bit layouts can hold,
// each entry at the mean of its pixels, no unused entry.
#pragma once

#include "pcx.h"
#include "pixels.h"

#include <cstdint>

namespace pcx {

// Moves every used entry to the mean of its pixels, rounded; returns the squared error after.
uint64_t centreWithError(const Pixels& px, Image& indexed);

// Settles the row ends, centres the entries and drops the unused ones.
void finish(const Pixels& px, Image& out);

// The same for a palette that holds still: the row ends settled among its entries, the unused
// ones dropped.
void finishHeld(const Pixels& px, Image& out);

}  // namespace pcx

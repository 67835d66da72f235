// SPDX-License-Identifier: GPL-3.0-or-later
// Longer runs for a smaller file: a pixel may take its left neighbour's entry while the picture's
// added squared error stays within a budget, a fraction of its error as it is.
#pragma once

#include "pcx.h"
#include "pixels.h"

#include <cstdint>

namespace pcx {

// Extends runs with the largest tolerance whose added error stays within budget times error, the
// picture's squared error as it is; returns that tolerance, 0 (pixels untouched) when none fits.
int extendWithin(const Pixels& px, Image& indexed, double budget, uint64_t error);

}  // namespace pcx

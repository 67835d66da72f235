// SPDX-License-Identifier: GPL-3.0-or-later
// The form for a caller that names every output: -pairs0-from F, input and output names
// alternating, each ended by a NUL, converted one pair after another as the one-file form
// converts its file, with a line on standard error as each starts and as each ends.
#pragma once

#include "cli.h"

#include <string>

namespace pcx {

// Reads the pairs as it goes, so that a caller may hand them over one at a time; returns the
// exit code: 0 when every output was written, 1 when one was not, 2 when the list itself is
// wrong (a last input without its output).
int runPairs(const Options& o);

}  // namespace pcx

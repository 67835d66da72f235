// SPDX-License-Identifier: GPL-3.0-or-later
// The forms of the command line beyond one input to one output: several inputs into a folder in
// one start, one palette shared by a set, a given palette, and the check of a palette file.
#pragma once

#include "cli.h"

#include <string>

namespace pcx {

// Whether the options ask for one of these forms: any option of OptionGroup::Sets does.
bool beyondOneFile(const Options& o);

// Which output would be written over an input, the -palette file or another output, in one line;
// empty when none. Files are compared as the file system knows them, through links.
std::string outputsError(const Options& o);

// Reads the names of -files0-from, checks the inputs and outputs, and runs the form; returns the
// exit code: 0 when everything asked for was written, 1 when something was not, 2 for a usage error.
int runBatch(Options o);

// A name as the progress and left-out lines give it: control characters and backslashes escaped
// (\n, \t, \\, else \ooo in octal), so that one line holds it.
std::string lineSafe(const std::string& name);

}  // namespace pcx

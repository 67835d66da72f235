// SPDX-License-Identifier: GPL-3.0-or-later
// Where each input of -outdir goes: under its file name, or with -parents under its whole relative
// path as cp --parents puts it, so that a game's tree keeps its shape.
#pragma once

#include <string>

namespace pcx {

// The input's path below the output folder: its file name, or with parents its relative path
// with "." and empty parts dropped and "a/.." taken back. Empty when there is none: a name ending
// in '/', and with parents an absolute path or one that climbs out with "..".
std::string outputName(const std::string& input, bool parents);

// What is wrong with an input for -parents, in one line with the name as lines show it; empty
// when nothing is.
std::string parentsError(const std::string& input);

// Makes the folders of name (a path outputName gave) below outdir that are not there yet, as
// mkdir -p does; an empty text, or what failed.
std::string makeFoldersFor(const std::string& outdir, const std::string& name);

}  // namespace pcx

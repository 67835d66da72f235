// SPDX-License-Identifier: GPL-3.0-or-later
// Which layout and palette order make the smallest file. Every order tried comes from the
// picture's pixels alone, never from the order its palette had, so a file written this way and
// converted again gets the same choice.
#pragma once

#include "pcx.h"

namespace pcx {

// Palette orders; each renumbers pixels and palette together.
// The order in which a scan of the pixels meets the entries first, unused entries last.
void orderByFirstUse(Image& img);

struct Choice {
    Image image;          // palette order as written
    Layout layout = Layout::Byte;
    uint64_t size = 0;
};

// Tries every candidate layout, each with orders made for it from the pixels: for two planes
// every order, for four the first-use and frequency orders and what swapping pairs of indices
// finds from them, for eight bits the one for lone bytes. Keeps the smallest; size is 0 when no
// layout fits. The palette may be renumbered.
Choice chooseSmallest(Image&& indexed, bool rle);

// How many palette entries the pixels use.
size_t usedEntries(const Image& indexed);

// For a picture whose indices are data: every pixel keeps its index and every entry its colour,
// in the smallest layout that holds the largest index used. Entries past what that layout
// carries (4 in two planes, 16 in four) are left out; none of them is used.
Choice chooseKeepingIndices(Image&& indexed, bool rle);

}  // namespace pcx

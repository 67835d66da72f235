// SPDX-License-Identifier: GPL-3.0-or-later
// Pictures mapped to a palette that is not theirs: a given game palette, or one shared by a set.
// Its entries stay where they are; a pixel takes the nearest entry it may take, and a key colour
// takes the transparent index and nothing else does.
#pragma once

#include "pcx.h"

#include <array>
#include <bitset>
#include <memory>
#include <string>
#include <vector>

namespace pcx {

struct EntrySearch;

// How a colour that no entry holds is mapped: to its nearest entry, by error diffusion
// (Floyd-Steinberg), or by a pattern that depends on its colour and its place alone.
enum class Dither { None, Diffuse, Pattern };

// What nearest means: plain RGB distance, or distance in OKLab.
enum class Match { Rgb, Oklab };

struct TargetPalette {
    std::array<Rgb, 256> entries{};  // as written; entries nobody may take are black
    std::bitset<256> usable;         // entries a pixel other than a key pixel may take
    std::bitset<256> exactOnly;      // usable entries only a pixel of exactly their colour takes
    Match match = Match::Rgb;
    int key = -1;                    // the transparent index, -1 for none
    Rgb keyColour;
    // Entries the pictures' colours are still to fill, lowest first, and at most how many of them.
    std::vector<int> free;
    size_t freeCount = 0;
    // The search among the usable entries, set up once for every picture of a run (see shareSearch).
    std::shared_ptr<const EntrySearch> search;

    // Pixels of exactly keyColour, and of alpha below 128, go to key.
    bool isKey(const uint8_t* rgba) const
    {
        return key >= 0 && ((rgba[0] == keyColour.r && rgba[1] == keyColour.g && rgba[2] == keyColour.b) || rgba[3] < 128);
    }
    // The entries worth listing in a palette file: up to the last one a pixel may take.
    std::vector<Rgb> listed() const;
};

// The palette of a given file: its entries usable, padded with black that nobody takes; with a key
// index, that entry keeps its colour but only key pixels take it. free lists -free's entries
// (their colours are chosen later, the key index among them becomes the key colour); count is the
// most colours to choose for them. An empty text, or what is wrong.
std::string givenTarget(const std::vector<Rgb>& given, int key, Rgb keyColour, int freeFirst, int freeLast,
                        size_t count, TargetPalette& out);

// A palette made wholly from the pictures: count entries (the key among them) from index 0 on.
TargetPalette sharedTarget(size_t count, int key, Rgb keyColour);

// Sets up the search among the usable entries that every picture mapped to this finished target
// then shares: its table fills as pictures ask, so a set of small sprites pays for it once.
// colours, when known, are those the pictures hold: each is looked up once here.
void shareSearch(TargetPalette& target, const std::vector<Rgb>& colours = {});

// Maps in (indexed, or R, G, B, A) to the 256 entries of target, which has nothing left to fill.
// An indexed pixel whose own index holds its exact colour and may take it keeps that index; a
// colour found in the palette takes its first entry it may take; any other the nearest by the
// target's match (the lowest index wins a tie), or with dither one of a few near it. Dithering
// leaves pixels of exact palette colours and key pixels as they are. False when no entry is usable.
bool mapToTarget(const Image& in, const TargetPalette& target, Dither dither, Image& out);

// Chooses each row's entries of mapped (each pixel at its nearest) for the fewest bytes of the
// 8-bit layout against the squared error they add, a byte weighed as byteWeight times the picture's
// mean squared error a pixel, so a picture mapped exactly stays as it is. A pixel may take its own
// entry or a neighbour's in the row; key pixels stay at the key index and no other pixel goes there.
void shortenRows(const Image& original, const TargetPalette& target, Image& mapped, double byteWeight);

// The weight of a byte for a palette shared by a set: on sprites it costs a quarter of a decibel
// or so where every pixel at its nearest entry keeps a wide margin.
constexpr double sharedByteWeight = 8;

}  // namespace pcx

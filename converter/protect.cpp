// SPDX-License-Identifier: GPL-3.0-or-later
#include "protect.h"

#include <cctype>

namespace pcx {

namespace {

// A decimal index 0 to 255 from text at, which moves past it.
bool parseIndex(const std::string& text, size_t& at, int& value)
{
    const size_t start = at;
    value = 0;
    while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])) && at - start < 3)
        value = 10 * value + (text[at++] - '0');
    return at > start && value <= 255 && (at == text.size() || !std::isdigit(static_cast<unsigned char>(text[at])));
}

}  // namespace

bool parseEntryList(const std::string& text, std::bitset<256>& entries)
{
    entries.reset();
    size_t at = 0;
    do {
        int first = 0, last = 0;
        if (!parseIndex(text, at, first))
            return false;
        last = first;
        if (at < text.size() && text[at] == '-' && !parseIndex(text, ++at, last))
            return false;
        if (last < first)
            return false;
        for (int i = first; i <= last; ++i)
            entries[size_t(i)] = true;
        if (at == text.size())
            return true;
    } while (text[at++] == ',');
    return false;
}

std::string protectEntries(const std::bitset<256>& entries, TargetPalette& t)
{
    t.exactOnly = entries & t.usable;
    if ((t.usable & ~t.exactOnly).none() && t.free.empty())
        return "-protect holds every entry a pixel may take";
    return {};
}

}  // namespace pcx

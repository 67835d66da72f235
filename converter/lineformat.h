// SPDX-License-Identifier: GPL-3.0-or-later
// The lines palettrim-convert writes on standard error, as the program reads them back: the
// converter, the engine and the tests' stand-in converter all include this, so that none of them
// spells a line of its own.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

namespace lines {

// Every line begins so.
inline constexpr std::string_view kOwnName = "palettrim-convert: ";
// Ends the line of an input a palette pass could not read and went on without.
inline constexpr std::string_view kLeftOut = " (left out)";

// A name on one line: line ends, tabs and other control characters escaped, and the backslash,
// so that every name reads back as it was.
inline std::string escapeName(std::string_view name)
{
    std::string s;
    s.reserve(name.size());
    for (const char ch : name) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\n')
            s += "\\n";
        else if (c == '\t')
            s += "\\t";
        else if (c == '\\')
            s += "\\\\";
        else if (c < 0x20 || c == 0x7f) {
            char octal[5];
            std::snprintf(octal, sizeof octal, "\\%03o", c);
            s += octal;
        } else
            s += ch;
    }
    return s;
}

// An error, whole: the own name, what is wrong, and for a usage error where to look.
inline std::string errorLine(std::string_view what) { return std::string(kOwnName) + std::string(what); }
inline std::string usageErrorLine(std::string_view what) { return errorLine(what) + " (see --help)"; }

// "NAME: WHAT", a line about one file (an error, a summary), its name on one line.
inline std::string aboutFile(std::string_view name, std::string_view what)
{
    return escapeName(name) + ": " + std::string(what);
}

// "NAME: REASON (left out)", an input a palette pass went on without.
inline std::string leftOutLine(std::string_view name, std::string_view reason)
{
    return aboutFile(name, reason) + std::string(kLeftOut);
}

// "N/M NAME", as each file starts (N counted from 1), without the own name in front.
inline std::string startLine(std::size_t place, std::size_t count, std::string_view name)
{
    return std::to_string(place) + "/" + std::to_string(count) + " " + escapeName(name);
}

// Reads the "N/M" in front of a start line; false for any other line.
inline bool parseStart(std::string_view said, std::size_t& place, std::size_t& count)
{
    const std::size_t slash = said.find('/');
    const std::size_t space = said.find(' ');
    if (slash == std::string_view::npos || slash == 0 || space == std::string_view::npos || space <= slash + 1)
        return false;
    std::size_t p = 0, n = 0;
    for (std::size_t i = 0; i < space; ++i) {
        if (i == slash)
            continue;
        const char c = said[i];
        if (c < '0' || c > '9' || (i < slash ? p : n) > 100000000)
            return false;
        (i < slash ? p : n) = (i < slash ? p : n) * 10 + std::size_t(c - '0');
    }
    if (n == 0)
        return false;
    place = p;
    count = n;
    return true;
}

}  // namespace lines

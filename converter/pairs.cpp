// SPDX-License-Identifier: GPL-3.0-or-later
#include "pairs.h"

#include "lineformat.h"
#include "palette_file.h"
#include "palette_map.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <sys/stat.h>

namespace pcx {

namespace {

// The next NUL-ended name of from; false at its end (a last name without its NUL counts).
bool readName(std::FILE* from, std::string& name, bool& failed)
{
    name.clear();
    for (int c; (c = std::getc(from)) != EOF;) {
        if (c == '\0')
            return true;
        name += char(c);
    }
    failed = std::ferror(from) != 0;
    return !name.empty();
}

void say(const std::string& line) { std::fprintf(stderr, "%s%s\n", lines::kOwnName.data(), line.c_str()); }

// Why this pair cannot be converted, before its input is read; empty when it can.
std::string pairError(const std::string& in, const std::string& out, std::set<std::pair<dev_t, ino_t>>& written)
{
    if (in.empty())
        return "the input file name is empty";
    if (out.empty())
        return in + ": the output file name is empty";
    if (in == "-" || out == "-")
        return "standard input and output (-) do not go with -pairs0-from";
    struct stat input {}, output {};
    if (stat(out.c_str(), &output) == 0) {
        if (stat(in.c_str(), &input) == 0 && input.st_dev == output.st_dev && input.st_ino == output.st_ino)
            return "the output " + out + " would replace its input";
        if (written.count({output.st_dev, output.st_ino}))
            return "the output " + out + " was written for an earlier input";
    }
    return {};
}

}  // namespace

int runPairs(const Options& o)
{
    TargetPalette target;
    const bool haveTarget = !o.palette.empty();
    if (haveTarget) {
        PaletteFile given;
        if (const std::string err = readPaletteFile(o.palette, given); !err.empty()) {
            say(err);
            return 1;
        }
        const int key = !o.transparent ? -1 : o.keyIndex >= 0 ? o.keyIndex : std::max(given.transparent, 0);
        const size_t count = o.colorsGiven ? size_t(o.colors) : 0;
        if (const std::string err = givenTarget(given.entries, key, o.keyColour, o.freeFirst, o.freeLast, count, target);
            !err.empty()) {
            say(o.palette + ": " + err);
            return 1;
        }
    }
    std::FILE* from = o.pairs0From == "-" ? stdin : std::fopen(o.pairs0From.c_str(), "rb");
    if (!from) {
        say(o.pairs0From + ": " + errorText(Error::CannotOpen));
        return 1;
    }
    std::set<std::pair<dev_t, ino_t>> written;
    size_t place = 0;
    bool failed = false, unreadable = false;
    int code = 0;
    for (std::string in, out; readName(from, in, unreadable);) {
        ++place;
        say(lines::pairStartLine(place, in));
        if (!readName(from, out, unreadable)) {
            say(lines::pairFailedLine(place, o.pairs0From + ": the last input has no output name"));
            code = 2;
            break;
        }
        std::string summary, err = pairError(in, out, written);
        if (err.empty()) {
            Options one = o;
            one.input = in;
            one.output = out;
            err = convert(one, &summary, haveTarget ? &target : nullptr);
        }
        struct stat st {};
        if (err.empty() && stat(out.c_str(), &st) != 0)
            err = out + ": gone as soon as it was written";
        if (!err.empty()) {
            say(lines::pairFailedLine(place, err));
            failed = true;
            continue;
        }
        written.insert({st.st_dev, st.st_ino});
        say(lines::pairEndLine(place, size_t(st.st_size)));
        if (!o.quiet)
            std::printf("%s\n", summary.c_str());
    }
    if (from != stdin)
        std::fclose(from);
    std::fflush(stdout);
    if (code)
        return code;
    if (unreadable) {
        say(o.pairs0From + ": " + errorText(Error::ReadFailed));
        return 1;
    }
    return failed ? 1 : 0;
}

}  // namespace pcx

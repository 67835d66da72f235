// SPDX-License-Identifier: GPL-3.0-or-later
#include "palette_check.h"

#include "palette_file.h"

namespace pcx {

std::string checkPalette(const uint8_t* data, size_t size)
{
    for (const char* name : {"fuzz.act", "fuzz.pal"}) {
        MemorySource src(data, size);
        PaletteFile p;
        const std::string err = readPalette(src, name, p);
        if (!err.empty()) {
            if (!p.entries.empty())
                return "a failed read left entries behind";
            if (err.rfind(std::string(name) + ": ", 0) != 0 || err.find('\n') != std::string::npos)
                return "a message that is not one line naming the file: " + err;
            continue;
        }
        if (p.entries.empty() || p.entries.size() > 256)
            return std::to_string(p.entries.size()) + " entries read";
        if (p.transparent >= int(p.entries.size()) || p.transparent < -1)
            return "a transparent index beyond the entries";
        for (const auto& [f, again] : {std::pair{PaletteFormat::Jasc, "again.pal"}, std::pair{PaletteFormat::Gimp, "again.gpl"},
                                        std::pair{PaletteFormat::Act, "again.act"}}) {
            const std::vector<uint8_t> bytes = paletteBytes(p.entries, f, p.transparent);
            MemorySource src2(bytes.data(), bytes.size());
            PaletteFile back;
            if (!readPalette(src2, again, back).empty() || back.entries != p.entries)
                return "written and read back, the entries differ";
        }
    }
    return {};
}

}  // namespace pcx

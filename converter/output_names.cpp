// SPDX-License-Identifier: GPL-3.0-or-later
#include "output_names.h"

#include "lineformat.h"

#include <cerrno>
#include <cstring>
#include <vector>
#include <sys/stat.h>

namespace pcx {

namespace {

// The parts of a relative path, "." and empty ones dropped and ".." taking back the one before;
// false when the path is absolute or climbs out.
bool partsOf(const std::string& path, std::vector<std::string>& parts)
{
    if (path.empty() || path[0] == '/')
        return false;
    for (size_t at = 0; at <= path.size();) {
        const size_t end = std::min(path.find('/', at), path.size());
        const std::string part = path.substr(at, end - at);
        if (part == "..") {
            if (parts.empty())
                return false;
            parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        at = end + 1;
    }
    return true;
}

}  // namespace

std::string outputName(const std::string& input, bool parents)
{
    if (input.empty() || input.back() == '/')
        return {};
    if (!parents)
        return input.substr(input.rfind('/') + 1);
    std::vector<std::string> parts;
    if (!partsOf(input, parts) || parts.empty())
        return {};
    std::string name = parts[0];
    for (size_t i = 1; i < parts.size(); ++i)
        name += "/" + parts[i];
    return name;
}

std::string parentsError(const std::string& input)
{
    std::vector<std::string> parts;
    if (!input.empty() && input[0] == '/')
        return "-parents keeps relative paths below -outdir; " + lines::escapeName(input) + " is absolute";
    if (!partsOf(input, parts))
        return "-parents keeps relative paths below -outdir; " + lines::escapeName(input) + " climbs out with ..";
    return {};
}

std::string makeFoldersFor(const std::string& outdir, const std::string& name)
{
    std::string folder = outdir;
    for (size_t at = 0, slash; (slash = name.find('/', at)) != std::string::npos; at = slash + 1) {
        if (!folder.empty() && folder.back() != '/')
            folder += '/';
        folder.append(name, at, slash - at);
        if (::mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST)
            return lines::escapeName(folder) + ": cannot make the folder: " + std::strerror(errno);
        if (struct stat st {}; stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            return lines::escapeName(folder) + ": not a folder";
    }
    return {};
}

}  // namespace pcx

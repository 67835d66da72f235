// What differs between the systems the program is built for. The only place that asks which
// system it is; everything else is written once for all of them.
#pragma once

#include <QString>

namespace Platform {

// The converter's file name in the work folder: "nconvert.exe" where programs need the
// extension, else "nconvert".
QString ConverterFileName();

// A path must be shorter than MaxPathLength() characters, a name in it than MaxNameLength().
qsizetype MaxPathLength();
qsizetype MaxNameLength();

// True where folders carry the system attribute, so hidden system folders are to be left out
// of a folder scan (elsewhere no folder is hidden and system at once).
bool HasSystemFolders();

// True where a leading pair of separators names a server share and "\" separates path parts.
bool HasSharePaths();

}  // namespace Platform

#include "core/platform.h"

#include <climits>

namespace Platform {

#ifdef Q_OS_WIN

QString ConverterFileName() { return QStringLiteral("nconvert.exe"); }
qsizetype MaxPathLength() { return 260; }
qsizetype MaxNameLength() { return 260; }
bool HasSystemFolders() { return true; }
bool HasSharePaths() { return true; }

#else

QString ConverterFileName() { return QStringLiteral("nconvert"); }
qsizetype MaxPathLength() { return PATH_MAX; }
qsizetype MaxNameLength() { return NAME_MAX + 1; }
bool HasSystemFolders() { return false; }
bool HasSharePaths() { return false; }

#endif

}  // namespace Platform

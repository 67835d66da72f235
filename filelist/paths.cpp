#include "filelist/paths.h"

#include "core/platform.h"
#include "widgets/controls.h"

namespace {

// Copies path from index start on with every run of sep reduced to one.
void appendCollapsed(QString& out, const QString& path, qsizetype start, QChar sep)
{
    for (qsizetype i = start; i < path.size(); ++i) {
        const QChar c = path.at(i);
        if (c == sep && !out.isEmpty() && out.back() == sep)
            continue;
        out += c;
    }
}

}  // namespace

QString NormalizePathPosix(const QString& path)
{
    if (!path.contains(QStringLiteral("//")))
        return path;
    QString out;
    out.reserve(path.size());
    appendCollapsed(out, path, 0, QLatin1Char('/'));
    return out;
}

QString NormalizePathWindows(const QString& path)
{
    const QChar sep = QLatin1Char('\\');
    qsizetype lead = 0;
    while (lead < path.size() && path.at(lead) == sep)
        ++lead;
    QString out;
    out.reserve(path.size());
    // A single leading backslash means the current drive's root, not a share: keep it single.
    if (lead >= 2)
        out = QStringLiteral("\\\\");
    else if (lead == 1)
        out = sep;
    for (qsizetype i = lead; i < path.size(); ++i) {
        const QChar c = path.at(i);
        if (c == sep && i > lead && path.at(i - 1) == sep)
            continue;
        out += c;
    }
    return out;
}

QString NormalizePath(const QString& path)
{
    return Platform::HasSharePaths() ? NormalizePathWindows(path) : NormalizePathPosix(path);
}

bool ListContains(const ListView* list, const QString& text)
{
    if (!list)
        return false;
    const int n = list->rowCount();
    for (int i = 0; i < n; ++i) {
        if (list->rowText(i) == text)
            return true;
    }
    return false;
}

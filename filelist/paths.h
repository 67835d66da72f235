// Path text rules shared by every way of adding rows.
#pragma once

#include <QString>

class ListView;

// Collapses doubled separators. On Windows a leading run of two or more backslashes (a server
// share) is kept as exactly two; on POSIX every run becomes one separator.
QString NormalizePath(const QString& path);
// The two rules, callable on any platform; NormalizePath picks the platform's.
QString NormalizePathPosix(const QString& path);
QString NormalizePathWindows(const QString& path);

// True when some row's text equals text exactly (case-sensitive).
bool ListContains(const ListView* list, const QString& text);

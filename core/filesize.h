// Measuring files and the short size texts of the results list.
#pragma once

#include <QString>
#include <QtGlobal>

// The length of the regular file at path, from stat; 0 for anything else. Never throws.
qint64 FileSize2(const QString& path);

// "1,023 Bytes", "1 KB", "1.5 MB", "2. MB", "3. GB" with the user's locale separators;
// the empty text for 1 byte or less (including negative counts).
QString FormatSizeText(qint64 bytes);

#include "core/filesize.h"

#include "core/fileops.h"

#include <QLocale>

qint64 FileSize2(const QString& path)
{
    // Never opened: opening a named pipe would wait for a writer that never comes.
    return RegularFileSize(path);
}

namespace {

constexpr qint64 kKB = 1024;
constexpr qint64 kMB = kKB * 1024;
constexpr qint64 kGB = kMB * 1024;

// The whole part grouped in threes, whatever grouping the locale itself prefers.
QString grouped(qint64 whole, const QLocale& locale)
{
    const QString digits = QString::number(whole);
    const QString sep = locale.groupSeparator();
    QString out;
    for (qsizetype i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            out += sep;
        out += digits[i];
    }
    return out;
}

// bytes / unit rounded to a whole number, halves up (bytes is positive here).
qint64 roundedWhole(qint64 bytes, qint64 unit)
{
    return bytes / unit + ((bytes % unit) * 2 >= unit ? 1 : 0);
}

// bytes / unit with at most two decimals, halves up, trailing zeros dropped but the
// separator kept ("2." for exactly two units). Integer arithmetic keeps it exact.
QString twoDecimals(qint64 bytes, qint64 unit, const QLocale& locale)
{
    qint64 whole = bytes / unit;
    qint64 hundredths = ((bytes % unit) * 200 + unit) / (2 * unit);
    if (hundredths == 100) {
        ++whole;
        hundredths = 0;
    }
    QString text = grouped(whole, locale) + locale.decimalPoint();
    if (hundredths % 10 != 0)
        text += QString::number(hundredths).rightJustified(2, QLatin1Char('0'));
    else if (hundredths != 0)
        text += QString::number(hundredths / 10);
    return text;
}

}  // namespace

QString FormatSizeText(qint64 bytes)
{
    const QLocale locale;
    if (bytes <= 1)
        return QString();
    if (bytes < kKB)
        return grouped(bytes, locale) + QStringLiteral(" Bytes");
    if (bytes < kMB)
        return grouped(roundedWhole(bytes, kKB), locale) + QStringLiteral(" KB");
    if (bytes < kGB)
        return twoDecimals(bytes, kMB, locale) + QStringLiteral(" MB");
    return twoDecimals(bytes, kGB, locale) + QStringLiteral(" GB");
}

#include "engine/reduction.h"

#include "core/errorreport.h"
#include "core/messages.h"
#include "core/fileops.h"

#include <QDir>
#include <QFile>
#include <QLocale>
#include <QRandomGenerator>

#include <utility>

double ColourCountFromText(const QString& text)
{
    qsizetype i = 0;
    while (i < text.size() && (text[i] == QLatin1Char(' ') || text[i] == QLatin1Char('\t')))
        ++i;
    const qsizetype start = i;
    if (i < text.size() && (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-')))
        ++i;
    bool digits = false;
    while (i < text.size() && text[i].isDigit() && text[i].unicode() < 128) {
        ++i;
        digits = true;
    }
    if (i < text.size() && text[i] == QLatin1Char('.')) {
        ++i;
        while (i < text.size() && text[i].isDigit() && text[i].unicode() < 128) {
            ++i;
            digits = true;
        }
    }
    if (!digits)
        return 0;
    return QLocale::c().toDouble(QStringView(text).mid(start, i - start));
}

QString FormatColourCount(double count)
{
    return QString::number(count, 'g', QLocale::FloatingPointShortest);
}

QString InputExtension(const QString& inputPath)
{
    const qsizetype dot = inputPath.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? inputPath : inputPath.mid(dot + 1);
}

DigitSource RandomDigits()
{
    // The global generator is seeded once from the system, so names drawn within the same
    // clock tick differ as much as any others.
    return [] { return static_cast<int>(QRandomGenerator::global()->bounded(1, 10)); };
}

QString DrawOutputPath(const QString& workFolder, const QString& extension, QSet<QString>& taken,
                       const DigitSource& digits)
{
    // 9^8 names; running out means the digit source is broken, not that the folder is full.
    for (int attempt = 0; attempt < 10000; ++attempt) {
        QString name = QStringLiteral("tavrik");
        for (int k = 0; k < 8; ++k)
            name += QChar(QLatin1Char('0' + digits()));
        const QString path =
            workFolder + QDir::separator() + name + QLatin1Char('.') + extension;
        if (taken.contains(path) || PathExists(path))
            continue;
        taken.insert(path);
        return path;
    }
    throw AppError(Messages::kNoFreeFileName.arg(workFolder));
}

QStringList ConverterArguments(double colourCount, const QString& outputPath,
                               const QString& inputPath)
{
    return {QStringLiteral("-colors"), FormatColourCount(colourCount), QStringLiteral("-c"),
            QStringLiteral("1"),       QStringLiteral("-o"),           outputPath,
            inputPath};
}

QProcessEnvironment ConverterEnvironment(QProcessEnvironment env)
{
    for (const auto& [name, value] :
         {std::pair{QStringLiteral("OMP_WAIT_POLICY"), QStringLiteral("passive")},
          std::pair{QStringLiteral("GLIBC_TUNABLES"), QStringLiteral("glibc.malloc.hugetlb=1")}})
        if (!env.contains(name))
            env.insert(name, value);
    return env;
}

#include "engine/reduction.h"

#include "core/errorreport.h"
#include "core/messages.h"
#include "core/fileops.h"

#include <QDir>
#include <QFile>
#include <QLocale>
#include <QRandomGenerator>
#include <QThread>

#include "act_count.h"
#include "lineformat.h"
#include "pcx.h"

#include <algorithm>
#include <utility>

#include <unistd.h>

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
    // Taken from the whole path, a dotted folder would lead the output out of the work folder.
    const QString name = FileNamePart(inputPath);
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot < 0 || dot == name.size() - 1)
        return QStringLiteral("pcx");
    return name.mid(dot + 1);
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

QString DitherText(Dither dither)
{
    switch (dither) {
    case Dither::Diffuse:
        return QStringLiteral("diffuse");
    case Dither::Pattern:
        return QStringLiteral("pattern");
    case Dither::None:
        break;
    }
    return QStringLiteral("none");
}

Dither DitherFromText(const QString& text)
{
    const QString t = text.trimmed().toLower();
    if (t == QLatin1String("diffuse") || t == QLatin1String("1") || t == QLatin1String("true"))
        return Dither::Diffuse;
    if (t == QLatin1String("pattern"))
        return Dither::Pattern;
    return Dither::None;
}

namespace {

QStringList transparentArguments(const QString& keyColour)
{
    if (keyColour.isEmpty())
        return {};
    return {QStringLiteral("-transparent"), keyColour + QStringLiteral(":0")};
}

}  // namespace

QStringList ConverterArguments(double colourCount, const QString& outputPath,
                               const QString& inputPath, const ConversionChoice& choice)
{
    return ConverterOptions(colourCount, choice) << QStringLiteral("-o") << outputPath << inputPath;
}

QStringList ConverterOptions(double colourCount, const ConversionChoice& choice)
{
    QStringList arguments;
    if (choice.palette.isEmpty())
        arguments << QStringLiteral("-colors") << FormatColourCount(colourCount);
    else
        arguments << QStringLiteral("-palette") << choice.palette
                  << transparentArguments(choice.keyColour);
    if (choice.dither == Dither::Diffuse)
        arguments << QStringLiteral("-dither");
    else if (choice.dither == Dither::Pattern)
        arguments << QStringLiteral("-dither") << QStringLiteral("pattern");
    // The copies are scratch: a crash loses the run anyway, so none waits for the disk.
    return arguments << QStringLiteral("-c") << QStringLiteral("1") << QStringLiteral("-no-sync");
}

QStringList PalettePassArguments(double colourCount, const QString& paletteOut,
                                 const QString& namesFile, const QString& keyColour)
{
    return QStringList{QStringLiteral("-shared"),      QStringLiteral("-colors"),
                       FormatColourCount(colourCount), QStringLiteral("-progress"),
                       QStringLiteral("-palette-out"), paletteOut,
                       QStringLiteral("-files0-from"), namesFile}
        + transparentArguments(keyColour);
}

QStringList PaletteCheckArguments(const QString& palette, const QString& paletteOut)
{
    return {QStringLiteral("-palette"), palette, QStringLiteral("-palette-out"), paletteOut};
}

QByteArray NamesFileBytes(const QStringList& names)
{
    QByteArray bytes;
    for (const QString& name : names)
        bytes += QFile::encodeName(name) + '\0';
    return bytes;
}

QByteArray ConverterLineName(const QString& path)
{
    return QByteArray::fromStdString(lines::escapeName(QFile::encodeName(path).toStdString()));
}

int ActEntryCount(const QByteArray& bytes)
{
    return act::entryCount(reinterpret_cast<const unsigned char*>(bytes.constData()), std::size_t(bytes.size()));
}

QProcessEnvironment ConverterEnvironment(int threads, QProcessEnvironment env)
{
    for (const auto& [name, value] :
         {std::pair{QStringLiteral("OMP_WAIT_POLICY"), QStringLiteral("passive")},
          std::pair{QStringLiteral("GLIBC_TUNABLES"), QStringLiteral("glibc.malloc.hugetlb=1")}})
        if (!env.contains(name))
            env.insert(name, value);
    if (threads > 0 && !env.contains(QStringLiteral("OMP_NUM_THREADS")))
        env.insert(QStringLiteral("OMP_NUM_THREADS"), QString::number(threads));
    return env;
}

int ConverterThreads(int workers)
{
    if (workers <= 1)
        return 0;
    return std::max(1, QThread::idealThreadCount() / workers);
}

qint64 ConversionMemory(const QString& inputPath)
{
    // Measured: 94 MB resident for a 12-megapixel photo, 13 MB for a sprite, most of it the
    // libraries every converter shares.
    constexpr qint64 kOwn = 4 << 20;
    constexpr qint64 kPerPixel = 8;
    pcx::FileSource source(QFile::encodeName(inputPath).toStdString());
    pcx::Header header;
    if (!source.isOpen() || pcx::readHeader(source, header) != pcx::Error::None)
        return kOwn;
    return kOwn + kPerPixel * qint64(header.width()) * qint64(header.height());
}

int ChunkFiles(int asked)
{
    // A stop or a crash costs the files in hand whatever the count; past 64, what is left to
    // save is the starts (256: 5% off a run of a thousand sprites against 64, in run_bench).
    constexpr int kChunkFiles = 256;
    return asked > 0 ? asked : kChunkFiles;
}

qint64 ConversionMemoryBudget()
{
    constexpr qint64 kBudget = qint64(250) << 20;
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0)
        return kBudget;
    return std::min(kBudget, qint64(pages) * pageSize / 4);
}

bool MayStartConversion(qsizetype inFlight, qint64 memoryInFlight, qint64 memory, int workers,
                        qint64 budget)
{
    if (inFlight == 0)
        return true;
    return inFlight < workers && memoryInFlight + memory <= budget;
}

// The pieces of a reduction run that need no window: the colour count, the output names and
// the converter's command.
#pragma once

#include <QProcessEnvironment>
#include <QSet>
#include <QString>
#include <QStringList>
#include <functional>

// The number at the start of text, after leading blanks ("256 colors" gives 256); 0 when the
// text does not start with one.
double ColourCountFromText(const QString& text);
// The count as the converter's command takes it: its shortest decimal form ("256").
QString FormatColourCount(double count);

// The text after the last "." of the file's name; "pcx" for a name without one (dropped files
// are taken whatever their names): "/my.photos/scan" gives "pcx", "/pics/a.b.PCX" "PCX".
QString InputExtension(const QString& inputPath);

// Gives one digit from 1 to 9 per call.
using DigitSource = std::function<int()>;
// Digits from a generator seeded once per process from the system's entropy.
DigitSource RandomDigits();

// workFolder + "/tavrik" + eight digits 1-9 + "." + extension, redrawn until it names nothing
// that exists and nothing in taken; the result is added to taken. Throws AppError when no free
// name turns up.
QString DrawOutputPath(const QString& workFolder, const QString& extension, QSet<QString>& taken,
                       const DigitSource& digits = RandomDigits());

// How every file of a run is dithered.
enum class Dither {
    None,
    Diffuse,  // error diffusion: smooth gradients, but a still area of an animation shimmers
    Pattern,  // a fixed pattern: the same colour gives the same pixels in every frame
};
// The setting's text of a dither: "none", "diffuse" or "pattern".
QString DitherText(Dither dither);
// A setting's text as a dither; earlier versions kept "1" or "true" for diffusion and "0" or
// "false" for none. Anything unknown is none.
Dither DitherFromText(const QString& text);

// What a file's conversion takes besides its colour count.
struct ConversionChoice {
    // The palette every output keeps to, entry for entry, in place of one of the colour count;
    // empty: each file's own.
    QString palette;
    // "RRGGBB": with a palette, the pixels of this colour and no others take index 0; empty:
    // none.
    QString keyColour;
    Dither dither = Dither::None;
};

// What the converter is told of a file besides its names: -colors N -c 1 -no-sync; with a palette,
// -palette P in place of -colors N, and -transparent RRGGBB:0 with a key colour; after either,
// -dither for diffusion or -dither pattern.
QStringList ConverterOptions(double colourCount, const ConversionChoice& choice = {});
// The converter's arguments for one file: its options, then -o OUT IN.
QStringList ConverterArguments(double colourCount, const QString& outputPath,
                               const QString& inputPath, const ConversionChoice& choice = {});
// The pass that gathers one palette of colourCount entries for the files named, NUL after
// each, in namesFile and writes it to paletteOut, a line on standard error as each file
// starts: -shared -colors N -progress -palette-out P -files0-from F, and -transparent
// RRGGBB:0 with a key colour.
QStringList PalettePassArguments(double colourCount, const QString& paletteOut,
                                 const QString& namesFile, const QString& keyColour);
// The check of a palette file, which converts nothing: -palette FILE -palette-out P.
QStringList PaletteCheckArguments(const QString& palette, const QString& paletteOut);
// names as -files0-from reads them: each in the file system's encoding, a NUL after each.
QByteArray NamesFileBytes(const QStringList& names);
// How the converter writes path in a line of its own: \n, \t, \\ and \ooo for the other
// control bytes, in the file system's encoding.
QByteArray ConverterLineName(const QString& path);
// The entry count of an .act file written by the converter, counted as the converter reads one;
// 0 when bytes are no such file or their count is none a palette holds.
int ActEntryCount(const QByteArray& bytes);

// The environment the converter runs in: env with OMP_WAIT_POLICY=passive and
// GLIBC_TUNABLES=glibc.malloc.hugetlb=1 wherever env does not set them already (the user's
// choice stands). The converter reads both only as it loads; started without them it starts
// itself a second time to set them. With threads above 0, also OMP_NUM_THREADS=threads unless
// env sets it.
QProcessEnvironment ConverterEnvironment(
    int threads = 0, QProcessEnvironment env = QProcessEnvironment::systemEnvironment());
// The threads each of workers converters side by side may use, so that together they ask for no
// more than the machine's cores: 0 (the converter's own choice) for one worker, else at least 1.
int ConverterThreads(int workers);

// About how much memory the converter takes for the picture in inputPath, from the size its PCX
// header claims: a few megabytes of its own and eight bytes a pixel. A file whose header cannot
// be read costs the few megabytes: the converter refuses it at once. Never blocks on a file that
// is not a regular one.
qint64 ConversionMemory(const QString& inputPath);
// Files that need at most this much (ConversionMemory) share a converter with others of the
// run, one after another; a larger one gets a converter of its own, which gives its memory back
// as it ends.
constexpr qint64 kSharedConverterMemory = qint64(8) << 20;
// How many small files one converter takes in turn, unless the services ask for another count:
// ChunkFiles(services' chunkFiles).
int ChunkFiles(int asked);
// How much memory the converters of one run may take together: 250 MB, or a quarter of the
// machine's memory where that is less.
qint64 ConversionMemoryBudget();
// Whether another conversion, needing memory, may start beside inFlight others that need
// memoryInFlight together: never more than workers at once, nor more than budget together,
// but one alone always.
bool MayStartConversion(qsizetype inFlight, qint64 memoryInFlight, qint64 memory, int workers,
                        qint64 budget);

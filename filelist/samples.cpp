#include "filelist/samples.h"

#include "widgets/controls.h"
#include "core/errorreport.h"
#include "core/globals.h"
#include "core/messages.h"
#include "core/prompts.h"
#include "core/settings.h"
#include "core/fileops.h"
#include "filelist/addfolder.h"
#include "filelist/paths.h"

#include <QCoreApplication>
#include <QDir>

namespace {

// Events run once per this many characters, so a long text keeps the window responsive.
constexpr qsizetype kEventsEvery = 256;

enum class Shift { Encode, Decode };

QString shiftText(const QString& text, const QString& key, Shift direction)
{
    if (key.isEmpty())
        throw AppError(Messages::kInvalidCall);
    for (const QChar k : key) {
        if (k.unicode() < 1 || k.unicode() > 255)
            throw AppError(Messages::kInvalidCall);
    }
    QString out;
    out.resize(text.size());
    qsizetype j = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (i % kEventsEvery == 0)
            QCoreApplication::processEvents();
        const int c = text.at(i).unicode();
        // Codes outside 1..255 would not come back unchanged: refuse them instead.
        if (c < 1 || c > 255)
            throw AppError(Messages::kBadSampleCharacter);
        const int k = key.at(j).unicode();
        j = (j + 1) % key.size();
        int s;
        if (direction == Shift::Encode) {
            s = c + k;
            if (s > 255)
                s -= 255;
        } else {
            s = c - k;
            if (s < 1)
                s += 255;
        }
        out[i] = QChar(static_cast<char16_t>(s));
    }
    return out;
}

QString samplesFolder() { return Globals::programFolder() + QDir::separator() + QStringLiteral("Samples"); }

// Paths may hold any character; the scrambled text is made of 8-bit codes, so a path goes
// through its UTF-8 bytes, one code per byte.
QString toCodes(const QString& text) { return QString::fromLatin1(text.toUtf8()); }
QString fromCodes(const QString& codes) { return QString::fromUtf8(codes.toLatin1()); }

}  // namespace

QString ShiftEncode(const QString& text, const QString& key)
{
    return shiftText(text, key, Shift::Encode);
}

QString ShiftDecode(const QString& text, const QString& key)
{
    return shiftText(text, key, Shift::Decode);
}

void BuildSampleSnapshot()
{
    const QString folder = samplesFolder();
    const QStringList names = ListFiles(folder, QStringLiteral("*.*"));
    QStringList paths;
    paths.reserve(names.size());
    for (const QString& name : names)
        paths << folder + QDir::separator() + name;
    Settings::put(Settings::kSnapshot,
                  ShiftEncode(toCodes(paths.join(QLatin1Char('|'))), Globals::kSampleKey));
}

void LoadSampleFiles(ListView* list)
{
    const QString stored = Settings::get(Settings::kSnapshot);
    const QString text = fromCodes(ShiftDecode(stored, Globals::kSampleKey));
    if (!text.isEmpty() && list) {
        for (const QString& path : text.split(QLatin1Char('|'))) {
            if (PathExists(path) && !ListContains(list, path))
                list->addRow(path);
        }
    }
    const Prompts::Answer answer = msgBox(
        Messages::kOpenSamplesFolder,
        Prompts::Buttons::YesNo, Prompts::Icon::None);
    if (answer != Prompts::Answer::Yes)
        return;
    // Without a file manager (or xdg-open) nothing would show: say where the files are instead.
    if (!prompts().openFolder(samplesFolder() + QDir::separator()))
        msgBox(Messages::kNoFileManager.arg(QDir::toNativeSeparators(samplesFolder())));
}

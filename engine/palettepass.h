// The converter call a palette run makes before its files: the colours of all of them pooled
// into one palette, or a palette file the user gave checked and copied. Like a file's
// conversion it starts at once and tells its end by a signal from whichever event loop runs.
#pragma once

#include "engine/baranimator.h"
#include "engine/processrunner.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

class Progress;

class PalettePass : public QObject {
    Q_OBJECT
public:
    struct Outcome {
        // The palette file was written, so the files may be converted to it.
        bool written = false;
        // Why it was not, in the converter's words where it gave any.
        QString reason;
        // The inputs, by their place in the list, that the pass could not read and left out,
        // each with the converter's reason.
        QHash<qsizetype, QString> leftOut;
        // How many entries the palette written holds; 0 when that cannot be read from it.
        int entries = 0;
    };

    // Runs converter in environment; shows on progress while it runs. progress outlives this.
    PalettePass(QString converter, QProcessEnvironment environment, Progress& progress);
    // A pass still running is stopped (StopProcess), and finished() never comes.
    ~PalettePass() override;

    // Pools the colours of inputs into one palette of colourCount entries, written to
    // paletteOut, the names handed over through namesFile (written here first, so a list
    // longer than a command line takes is no limit); with keyColour ("RRGGBB"), its entry 0 is
    // that colour. As each file starts the progress reads "Gathering colours: i of n", at
    // i / n x 100, and every tick of the wait paints it again. Empty inputs are not handed
    // over (a names file cannot hold them): their conversions say what is wrong. Throws
    // AppError, and starts nothing, when the names file cannot be written.
    void gather(const QStringList& inputs, double colourCount, const QString& keyColour,
                const QString& namesFile, const QString& paletteOut);
    // Reads the palette of paletteFile and writes it to paletteOut; converts nothing.
    void check(const QString& paletteFile, const QString& paletteOut);
    // Ends the converter (StopProcess) and returns once it has; finished() follows.
    void stop();
    // Started, and finished() has not come yet.
    bool running() const { return m_running; }
    // Meaningful once finished() has come.
    const Outcome& outcome() const { return m_outcome; }
    // How many inputs gather() handed over.
    qsizetype handedOver() const { return m_handedOver; }

signals:
    void finished();

private:
    void start(const QStringList& arguments, const QString& paletteOut);
    void takeLine(const QByteArray& line);
    void end(const ProcessReport& report);

    const QString m_converter;
    const QProcessEnvironment m_environment;
    Progress& m_progress;
    ProcessRunner m_runner;
    Ticks m_ticks;
    bool m_running = false;
    bool m_gathering = false;
    Outcome m_outcome;
    QString m_paletteOut;
    // What the converter's own lines strip from a reason: the checked file's name.
    QString m_checked;
    qsizetype m_handedOver = 0;
    // Each input as the converter writes its name, with its places in the list.
    QHash<QByteArray, QList<qsizetype>> m_byLineName;
    // The last line that was neither a file's start nor a file left out.
    QString m_lastSaid;
};

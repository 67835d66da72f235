// Small files through converters that take them one after another: rows as a converter of their
// own would make them, whatever ends the converters.
#include "core/errorreport.h"
#include "core/fileops.h"
#include "core/messages.h"
#include "engine/failure.h"
#include "engine/reduction.h"
#include "engine/run.h"
#include "engine_fixture.h"
#include "support/files.h"
#include "support/recorded_progress.h"

#include <QDir>
#include <QDirIterator>
#include <QProcess>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <unistd.h>

namespace {

class ChunkRunTest : public EngineTest {
protected:
    void SetUp() override
    {
        EngineTest::SetUp();
        qputenv("FAKECONV_TRACE", QFile::encodeName(inputs() + QStringLiteral("/trace")));
        qputenv("FAKECONV_STARTS", QFile::encodeName(inputs() + QStringLiteral("/starts")));
    }
    void TearDown() override
    {
        for (const char* v : {"FAKECONV_STARTS", "FAKECONV_NO_PAIRS"})
            qunsetenv(v);
        ResetService(&Services::chunkFiles);
        EngineTest::TearDown();
    }
    QStringList traceLines() const
    {
        QStringList lines = QString::fromUtf8(readFile(inputs() + QStringLiteral("/trace"))).split(QLatin1Char('\n'));
        lines.removeAll(QString());
        return lines;
    }
    qsizetype starts() const { return readFile(inputs() + QStringLiteral("/starts")).count('\n'); }
    RunResult run(const QStringList& files, int workers, int chunk, RunChoice choice = {},
                  const QString& colours = QStringLiteral("256 colors"))
    {
        SetService(&Services::runWorkers, workers);
        SetService(&Services::chunkFiles, chunk);
        ErrorTrap trap("Test", "run");
        RunParts parts{&m_progress, [colours] { return colours; }, &control};
        parts.choice = choice;
        return RunReduction(trap, files, parts);
    }
    // The work folder holds the converter and the copies of the rows that have one, nothing else.
    void expectOnlyTheCopies(const ReductionRecords& records) const
    {
        QStringList copies;
        for (const ReductionRecord& r : records)
            if (!r.workCopy.isEmpty() && r.failure.isEmpty())
                copies << FileNamePart(r.workCopy);
        copies.sort();
        QStringList found = QDir(work()).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
        found.removeAll(QStringLiteral("nconvert"));
        EXPECT_EQ(found, copies);
    }
    // What the stand-in makes of a file: its first half.
    static QByteArray halfOf(const QString& path)
    {
        const QByteArray all = readFile(path);
        return all.left(all.size() / 2);
    }

    RecordedProgress m_progress;
    RunControl control;
};

}  // namespace

TEST_F(ChunkRunTest, SmallFilesShareAConverterAFewAtATimeAndABigOneHasItsOwn)
{
    installFakeConverter();
    logConverterCalls();
    QStringList files;
    for (int i = 0; i < 7; ++i)
        files << inputFile(QStringLiteral("s%1.pcx").arg(i));
    files.insert(3, inputs() + QStringLiteral("/big.pcx"));
    writeBigPicture(files[3]);
    ASSERT_GT(ConversionMemory(files[3]), kSharedConverterMemory);
    const RunResult r = run(files, 2, 3);
    ASSERT_EQ(r.end, RunEnd::Finished);
    ASSERT_EQ(r.records.size(), 8);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(r.records[i].failure, QString()) << i;
        EXPECT_EQ(readFile(r.records[i].workCopy), halfOf(files[i])) << i;
    }
    // Seven small files, three to a converter, and the big one alone.
    EXPECT_EQ(starts(), 4);
    // Each told what its own start would have been told.
    const auto calls = converterCalls();
    ASSERT_EQ(calls.size(), 8u);
    for (const QStringList& call : calls) {
        const qsizetype i = files.indexOf(call.last());
        ASSERT_GE(i, 0) << call.join(' ').toStdString();
        EXPECT_EQ(call, ConverterArguments(256, r.records[i].workCopy, files[i])) << i;
    }
    EXPECT_TRUE(convertersRunning().isEmpty());
    expectOnlyTheCopies(r.records);
}

TEST_F(ChunkRunTest, AFileThatKillsItsConverterTwiceFailsAloneAndTheRestGoOn)
{
    installFakeConverter();
    qputenv("FAKECONV_MODE", "named");
    // A crash in every chunk of three.
    const QStringList files = {inputFile(QStringLiteral("0-copy-a.pcx")), inputFile(QStringLiteral("0-crash-b.pcx")),
                               inputFile(QStringLiteral("0-copy-c.pcx")), inputFile(QStringLiteral("0-copy-d.pcx")),
                               inputFile(QStringLiteral("0-crash-e.pcx")), inputFile(QStringLiteral("0-copy-f.pcx"))};
    for (int workers : {1, 2}) {
        QFile::remove(inputs() + QStringLiteral("/trace"));
        const RunResult r = run(files, workers, 3);
        ASSERT_EQ(r.records.size(), 6);
        for (int i = 0; i < 6; ++i) {
            const bool crash = files[i].contains(QStringLiteral("crash"));
            EXPECT_EQ(r.records[i].failure, crash ? QStringLiteral("stopped by signal 11 (Segmentation fault)") : QString())
                << i;
            EXPECT_EQ(r.records[i].sizeAfter == Messages::kFailToReduce, crash) << i;
            if (!crash) {
                EXPECT_EQ(readFile(r.records[i].workCopy), halfOf(files[i])) << i;
            }
            // A crashing file once in a converter it shares, once in its own; the others once.
            EXPECT_EQ(traceLines().count(QStringLiteral("+ ") + FileNamePart(files[i])), crash ? 2 : 1) << i;
        }
        expectOnlyTheCopies(r.records);
        for (const ReductionRecord& rec : r.records)
            if (!rec.workCopy.isEmpty())
                QFile::remove(rec.workCopy);
    }
}

TEST_F(ChunkRunTest, AConverterKilledFromOutsideLosesNoFile)
{
    installFakeConverter();
    logConverterCalls();
    qputenv("FAKECONV_MODE", "named");
    const QStringList files = {inputFile(QStringLiteral("0-copy-a.pcx")), inputFile(QStringLiteral("400-copy-b.pcx")),
                               inputFile(QStringLiteral("0-copy-c.pcx"))};
    bool killed = false;
    m_progress.onText = [&](const QString& text) {
        if (killed || text != Messages::kBarProcessing + QStringLiteral("400-copy-b.pcx"))
            return;
        killed = true;
        QTimer::singleShot(0, [&] {
            // While it is on the file, as a user's kill or the system's would; killed as it writes,
            // the real one leaves its hidden file beside the copy.
            ASSERT_TRUE(QTest::qWaitFor([&] { return traceLines().contains(QStringLiteral("+ 400-copy-b.pcx")); }, 20000));
            const auto calls = converterCalls();
            ASSERT_EQ(calls.size(), 2u);
            const QString copy = calls[1].at(calls[1].size() - 2);
            QFile hidden(QFileInfo(copy).path() + QStringLiteral("/.") + QFileInfo(copy).fileName() + QStringLiteral(".Xy12Z9"));
            ASSERT_TRUE(hidden.open(QIODevice::WriteOnly));
            hidden.close();
            const QList<pid_t> running = convertersRunning();
            ASSERT_EQ(running.size(), 1);
            ::kill(running[0], SIGKILL);
        });
    };
    const RunResult r = run(files, 1, 8);
    EXPECT_TRUE(killed);
    ASSERT_EQ(r.records.size(), 3);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(r.records[i].failure, QString()) << i;
        EXPECT_EQ(readFile(r.records[i].workCopy), halfOf(files[i])) << i;
    }
    EXPECT_EQ(traceLines().count(QStringLiteral("+ 400-copy-b.pcx")), 2);
    expectOnlyTheCopies(r.records);
}

TEST_F(ChunkRunTest, AConverterThatKnowsNoPairsFormHasEveryFileConvertedAlone)
{
    installFakeConverter();
    qputenv("FAKECONV_NO_PAIRS", "1");
    const QStringList files = {inputFile(QStringLiteral("a.pcx")), inputFile(QStringLiteral("b.pcx")),
                               inputFile(QStringLiteral("c.pcx"))};
    const RunResult r = run(files, 1, 8);
    ASSERT_EQ(r.records.size(), 3);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(r.records[i].failure, QString()) << i;
        EXPECT_EQ(readFile(r.records[i].workCopy), halfOf(files[i])) << i;
    }
    // The one that refused, then one start a file.
    EXPECT_EQ(starts(), 4);
}

TEST_F(ChunkRunTest, TheProgramsOwnConverterMakesEachCopyAsWhenStartedOnItsFileAlone)
{
    // The real converter, as the program carries it.
    QStringList files = {inputFile(QStringLiteral("a.pcx")), inputFile(QStringLiteral("b.pcx"), "allegro_mysha.pcx"),
                         inputFile(QStringLiteral("c.pcx"), "netpbm_24bit.pcx"), inputs() + QStringLiteral("/bad.pcx"),
                         inputFile(QStringLiteral("line\nend.pcx"), "netpbm_4planes.pcx")};
    writeFile(files[3], QByteArray("not a picture"));
    RunChoice given;
    given.palette = PaletteKind::Given;
    given.paletteFile = QStringLiteral(ENGINE_TEST_PCX_DIR "/allegro_allegro.pcx");
    given.keyColour = QStringLiteral("ff00ff");
    for (const RunChoice& choice : {RunChoice{}, given}) {
        const RunResult r = run(files, 2, 2, choice, QStringLiteral("16 colors"));
        ASSERT_EQ(r.end, RunEnd::Finished);
        ASSERT_EQ(r.records.size(), files.size());
        ConversionChoice conversion;
        if (choice.palette == PaletteKind::Given) {
            conversion.palette = choice.paletteFile;
            conversion.keyColour = choice.keyColour;
        }
        for (qsizetype i = 0; i < files.size(); ++i) {
            const QString alone = inputs() + QStringLiteral("/alone.pcx");
            QFile::remove(alone);
            QProcess p;
            p.setProcessEnvironment(ConverterEnvironment());
            p.start(ConverterPath(), ConverterArguments(16, alone, files[i], conversion));
            ASSERT_TRUE(p.waitForFinished(60000));
            if (QFile::exists(alone)) {
                EXPECT_EQ(r.records[i].failure, QString()) << i;
                EXPECT_EQ(readFile(r.records[i].workCopy), readFile(alone)) << i;
            } else {
                ProcessReport report;
                report.exitCode = p.exitCode();
                report.errorOutput = p.readAllStandardError();
                EXPECT_EQ(r.records[i].failure, FailureReason(report, files[i])) << i;
                EXPECT_FALSE(r.records[i].failure.isEmpty());
            }
        }
        EXPECT_NE(r.records[3].failure, QString());
        expectOnlyTheCopies(r.records);
        for (const ReductionRecord& rec : r.records)
            if (!rec.workCopy.isEmpty())
                QFile::remove(rec.workCopy);
    }
}

// Conversions side by side: what the user sees and gets is what one file at a time gives.
#include "core/errorreport.h"
#include "core/fileops.h"
#include "core/messages.h"
#include "core/session.h"
#include "engine/reduction.h"
#include "engine/run.h"
#include "engine_fixture.h"
#include "results/form2.h"
#include "support/files.h"
#include "support/recorded_progress.h"

#include <QDir>
#include <QDirIterator>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <algorithm>
#include <utility>

#include <unistd.h>

namespace {

class ParallelRunTest : public EngineTest {
protected:
    void SetUp() override
    {
        EngineTest::SetUp();
        installFakeConverter();
        qputenv("FAKECONV_MODE", "named");
        qputenv("FAKECONV_TRACE", QFile::encodeName(trace()));
    }
    QString trace() const { return inputs() + QStringLiteral("/trace"); }
    // The stand-in's "+ NAME" and "- NAME" lines, in the order they were written.
    QStringList traceLines() const
    {
        QStringList lines = QString::fromUtf8(readFile(trace())).split(QLatin1Char('\n'));
        lines.removeAll(QString());
        return lines;
    }
    // The most converters that ran at one moment.
    int mostAtOnce() const
    {
        int now = 0, most = 0;
        for (const QString& l : traceLines()) {
            now += l.startsWith(QLatin1Char('+')) ? 1 : -1;
            most = std::max(most, now);
        }
        return most;
    }
    // What the user sees of a run's rows and gets from saving them into a fresh folder: the
    // cells, the reasons, the messages and the saved files' names and bytes.
    QStringList runAndSave(Form1& f1, int workers)
    {
        SetService(&Services::runWorkers, workers);
        f1.PushButton2_Click();
        Form2& f2 = *Forms::form2IfLoaded();
        QStringList seen;
        for (int i = 0; i < f2.ListView1->rowCount(); ++i)
            seen << f2.ListView1->rowText(i) + QLatin1Char('|') + f2.ListView1->subItem(i, 1)
                        + QLatin1Char('|') + f2.ListView1->subItem(i, 2) + QLatin1Char('|')
                        + f2.records()[i].inputPath + QLatin1Char('|') + f2.records()[i].failure;
        QTemporaryDir out;
        prompts.messages.clear();
        f2.Text1->setText(out.path());
        f2.PushButton6_Click();
        for (const auto& m : prompts.messages)
            seen << m.text;
        for (const QString& name : QDir(out.path()).entryList(QDir::Files, QDir::Name))
            seen << name + QLatin1Char('=') + QString::fromLatin1(readFile(out.filePath(name)).toHex());
        f2.PushButton8_Click();  // "< Back"
        return seen;
    }
};

// The run as the engine makes it, without a window.
RunResult runWithoutWindows(const QStringList& files, Progress& progress, RunControl* control = nullptr)
{
    ErrorTrap trap("Test", "runWithoutWindows");
    return RunReduction(trap, files, {&progress, [] { return QStringLiteral("256 colors"); }, control});
}

}  // namespace

TEST_F(ParallelRunTest, FourSideBySideGiveTheRowsSizesAndSavedFilesOfOneAtATime)
{
    // Each name says how long its file takes and how it ends, so they finish out of order.
    const QString gone = inputFile(QStringLiteral("0-copy-gone.pcx"));
    const QStringList files = {
        inputFile(QStringLiteral("300-copy-a.pcx"), "pillow_24bit.pcx"),
        inputFile(QStringLiteral("0-copy-b.pcx")),
        inputFile(QStringLiteral("150-fail-c.pcx")),
        inputFile(QStringLiteral("0-complain-d.pcx")),
        gone,
        inputFile(QStringLiteral("100-copy-e.pcx"), "allegro_mysha.pcx"),
        inputFile(QStringLiteral("0-nothing-f.pcx")),
        inputFile(QStringLiteral("50-copy-g.pcx"), "netpbm_4planes.pcx"),
        inputFile(QStringLiteral("0-copy-h.pcx"), "allegro_planet.pcx")};
    ASSERT_TRUE(QFile::remove(gone));
    Form1& f1 = mainWindow(files);
    f1.show();
    const QStringList oneAtATime = runAndSave(f1, 1);
    ASSERT_EQ(oneAtATime.size(), 9 + 4 + 1 + 5);  // rows, refusals, "Done.", saved files

    QFile::remove(trace());
    struct Moment {
        double value;
        QString text;
    };
    std::vector<Moment> seen;
    RecordingTicks ticks(f1.ProgressBar1);
    ticks.onWaitBegins = [&] { seen.push_back({f1.ProgressBar1->valueReal(), f1.ProgressBar1->barText()}); };
    EXPECT_EQ(runAndSave(f1, 4), oneAtATime);

    // Every file started in list order, with the bar at its share and its name.
    ASSERT_EQ(seen.size(), 9u);
    for (int i = 0; i < 9; ++i) {
        EXPECT_NEAR(seen[i].value, (i + 1) * 100.0 / 9, 1e-9) << i;
        EXPECT_EQ(seen[i].text, Messages::kBarProcessing + QFileInfo(files[i]).fileName()) << i;
    }
    EXPECT_EQ(f1.ProgressBar1->barText(), QStringLiteral("Progress Bar"));
    EXPECT_EQ(f1.ProgressBar1->valueReal(), 0);
    // Side by side, never more than four, and the first file ended after later ones.
    const QStringList lines = traceLines();
    EXPECT_GE(mostAtOnce(), 2);
    EXPECT_LE(mostAtOnce(), 4);
    EXPECT_LT(lines.indexOf(QStringLiteral("- 0-copy-b.pcx")), lines.indexOf(QStringLiteral("- 300-copy-a.pcx")));
}

TEST_F(ParallelRunTest, BigPicturesRunNoMoreAtOnceThanTheMemoryAllowsWithTheirThreadsShared)
{
    QStringList files;
    for (const char* name : {"300-copy-big1.pcx", "300-copy-big2.pcx", "300-copy-big3.pcx"}) {
        files << inputs() + QLatin1Char('/') + QLatin1String(name);
        writeBigPicture(files.last());
    }
    const qint64 each = ConversionMemory(files[0]);
    EXPECT_EQ(each, (qint64(4) << 20) + 8 * qint64(4000) * 3000);
    EXPECT_EQ(ConversionMemory(inputFile(QStringLiteral("small.pcx"))), (qint64(4) << 20) + 8 * 23 * 42);
    EXPECT_EQ(ConversionMemory(inputs() + QStringLiteral("/none.pcx")), qint64(4) << 20);
    const qint64 allowed = ConversionMemoryBudget() / each;
    ASSERT_LT(allowed, 3);  // the bound matters here

    const QString envLog = inputs() + QStringLiteral("/env");
    const ScopedEnv logged("FAKECONV_ENV_LOG", envLog);
    const ScopedEnv threads("OMP_NUM_THREADS", QString());
    qunsetenv("OMP_NUM_THREADS");
    Form1& f1 = mainWindow(files);
    // Four asked for, three files: three workers share the cores.
    SetService(&Services::runWorkers, 4);
    f1.PushButton2_Click();
    EXPECT_LE(mostAtOnce(), std::max<qint64>(allowed, 1));
    EXPECT_EQ(traceLines().size(), 6);
    EXPECT_TRUE(readFile(envLog).contains(
        "OMP_NUM_THREADS=" + QByteArray::number(std::max(1, QThread::idealThreadCount() / 3)) + "\n"));
    for (const ReductionRecord& r : Forms::form2IfLoaded()->records())
        EXPECT_EQ(r.failure, QString());
}

TEST_F(ParallelRunTest, TheMemoryOfAFileIsGivenBackAtItsEnd)
{
    // One file is held from its start to the run's end; beside it run big pictures that need
    // so much that the third could not start were the memory of those before not given back.
    const QString held = inputFile(QStringLiteral("held.pcx"));
    const ScopedEnv hold("FAKECONV_HOLD", held);
    const qint64 big = (qint64(4) << 20) + 8 * qint64(4000) * 3000;
    if (ConversionMemoryBudget() < ConversionMemory(held) + big)
        GTEST_SKIP() << "this machine's memory lets no big picture run beside another file";
    QStringList files = {held};
    for (qint64 i = 0, n = ConversionMemoryBudget() / big + 2; i < n; ++i) {
        files << inputs() + QStringLiteral("/0-copy-big%1.pcx").arg(i);
        writeBigPicture(files.last());
    }
    SetService(&Services::runWorkers, 2);
    RecordedProgress progress;
    RunControl control;
    bool heldAtTheLastStart = false;
    progress.onText = [&](const QString& text) {
        if (text != Messages::kBarProcessing + FileNamePart(files.last()))
            return;
        heldAtTheLastStart = holding();
        // The held one is of no more use: ended now, as a second Escape would.
        emit control.stopAsked();
        emit control.stopAsked();
    };
    const RunResult run = runWithoutWindows(files, progress, &control);
    EXPECT_TRUE(heldAtTheLastStart);
    ASSERT_EQ(run.records.size(), files.size());
    EXPECT_TRUE(run.records[0].stopped);
    for (qsizetype i = 1; i < files.size(); ++i)
        EXPECT_EQ(run.records[i].failure, QString()) << i;
}

TEST_F(ParallelRunTest, TheBarNamesTheFileStartedLastOnceItsWaitIsOver)
{
    // Whichever of two files side by side ends first, the bar goes back to the name of the one
    // that started last, without a count that no longer counts.
    SetService(&Services::runWorkers, 2);
    const std::pair<const char*, const char*> runs[] = {{"300-copy-a.pcx", "0-copy-b.pcx"},
                                                        {"0-copy-c.pcx", "300-copy-d.pcx"}};
    for (const auto& [first, second] : runs) {
        const QStringList files = {inputFile(QLatin1String(first)), inputFile(QLatin1String(second))};
        RecordedProgress progress;
        RecordingTicks ticks(&progress);
        ticks.ticksPerWait = 60;
        const RunResult run = runWithoutWindows(files, progress);
        ASSERT_EQ(run.end, RunEnd::Finished);
        const QString last = Messages::kBarProcessing + QLatin1String(second);
        ASSERT_GE(progress.texts.size(), 3);
        const QStringList expected = {last + QStringLiteral(", Please wait.. 10"), last, Messages::kBarAtRest};
        EXPECT_EQ(progress.texts.mid(progress.texts.size() - 3).join(QStringLiteral(" | ")).toStdString(),
                  expected.join(QStringLiteral(" | ")).toStdString());
        EXPECT_EQ(progress.note, QString());
    }
}

TEST_F(ParallelRunTest, ACloseStopsEveryConverterInFlightAndRemovesEveryCopy)
{
    Form1& f1 = mainWindow({inputFile(QStringLiteral("20000-copy-a.pcx")),
                            inputFile(QStringLiteral("20000-copy-b.pcx")),
                            inputFile(QStringLiteral("20000-copy-c.pcx")),
                            inputFile(QStringLiteral("20000-copy-d.pcx"))});
    SetService(&Services::runWorkers, 3);
    f1.show();
    // The program may end without unwinding: by then nothing of the run is left.
    bool endedWhileRunning = false;
    int runningAtEnd = -1;
    QStringList copiesAtEnd;
    SetService(&Services::endProgram, [&](bool running) {
        endedWhileRunning = running;
        runningAtEnd = int(convertersRunning().size());
        copiesAtEnd = QDir(work()).entryList({QStringLiteral("*tavrik*")}, QDir::Files | QDir::Hidden);
    });
    const auto restore = qScopeGuard([] { ResetService(&Services::endProgram); });
    RecordingTicks ticks(f1.ProgressBar1);
    int running = 0;
    ticks.onWaitBegins = [&] {
        if (ticks.waits < 3)
            return;
        // The third is under way once its trace line is there.
        while (traceLines().size() < 3)
            QTest::qWait(5);
        running = int(convertersRunning().size());
        f1.window()->close();
    };
    f1.PushButton2_Click();
    EXPECT_EQ(running, 3);
    EXPECT_TRUE(endedWhileRunning);
    EXPECT_EQ(ticks.waits, 3);
    EXPECT_EQ(runningAtEnd, 0);
    EXPECT_EQ(copiesAtEnd, QStringList());
}

#include "engine/shellandwait.h"
#include "engine_fixture.h"
#include "support/recorded_progress.h"

#include <QAccessible>
#include <QDir>
#include <QGuiApplication>
#include <QProcess>
#include <QTest>
#include <QTimer>

#include <cerrno>
#include <limits>
#include <map>
#include <memory>
#include <optional>

namespace {

class WaitTest : public EngineTest {
protected:
    void SetUp() override
    {
        EngineTest::SetUp();
        qputenv("FAKECONV_MODE", "sleep");
        qputenv("FAKECONV_SLEEP_MS", "200");
        input = inputFile(QStringLiteral("a.pcx"));
        output = work() + QStringLiteral("/out.pcx");
    }
    // Starts program in a wait and gives its result once the wait has told its end, which never
    // comes from within the start.
    int wait(const QString& program, const QStringList& arguments, Progress* shown,
             const QString& base, int start, int rows, int windowStyle = kHiddenWindow)
    {
        ShellAndWait wait;
        std::optional<int> result;
        QObject::connect(&wait, &ShellAndWait::finished, [&result](int r) { result = r; });
        wait.start(program, arguments, windowStyle, shown, base, start, rows);
        EXPECT_FALSE(result.has_value()) << "the end was told from within the start";
        EXPECT_TRUE(QTest::qWaitFor([&result] { return result.has_value(); }, 20000));
        style = wait.windowStyle();
        return result.value_or(std::numeric_limits<int>::min());
    }
    // Waits for the stand-in while the ticks fire; returns the progress after every tick.
    std::vector<RecordingTicks::Seen> waitTicks(int ticks, const QString& base, int start, int rows)
    {
        RecordingTicks source(&progress);
        source.ticksPerWait = ticks;
        progress.setValueReal(start);
        progress.setBarText(base);
        wait(kFake, {QStringLiteral("-o"), output, input}, &progress, base, start, rows);
        return source.afterTick;
    }
    const QString kFake = QStringLiteral(FAKECONV_PATH);
    RecordedProgress progress;
    QString input;
    QString output;
    int style = -1;
};

}  // namespace

TEST_F(WaitTest, TextCountsFromTheFiftiethTickAndValueStepsEvery150)
{
    const auto seen = waitTicks(350, QStringLiteral("Processing: a.pcx"), 50, 2);
    for (int t = 0; t < 49; ++t)
        ASSERT_EQ(seen[t].text, QStringLiteral("Processing: a.pcx")) << t;
    EXPECT_EQ(seen[49].text, QStringLiteral("Processing: a.pcx, Please wait.. 0"));
    EXPECT_EQ(seen[50].text, QStringLiteral("Processing: a.pcx, Please wait.. 1"));
    // Two files: a step of 5 from the start value at ticks 50, 200 and 350.
    EXPECT_EQ(seen[198].value, 50);
    EXPECT_EQ(seen[199].value, 55);
    EXPECT_EQ(seen[349].value, 60);
    EXPECT_EQ(progress.barText(), QStringLiteral("Processing: a.pcx"));
    EXPECT_TRUE(QFile::exists(output));
}

TEST_F(WaitTest, EmptyBaseTextCapsAndTheBarsEnd)
{
    // The last file of a one-file run starts at 100: its cap of 190 lies past the bar's end.
    auto seen = waitTicks(50 + 150 * 12, QString(), 100, 1);
    EXPECT_EQ(seen[49].text, QStringLiteral("Please wait.. 0"));
    for (const auto& s : seen)
        ASSERT_LE(s.value, 100);
    EXPECT_EQ(progress.barText(), QStringLiteral("Progress Bar"));
    // Four files: 2.5 rounds to a step of 2, the cap is start + 23.
    seen = waitTicks(50 + 150 * 12, QStringLiteral("x"), 25, 4);
    EXPECT_EQ(seen[199].value, 27);
    EXPECT_EQ(seen.back().value, 48);
    // Twenty files: the step rounds to 0.
    seen = waitTicks(400, QStringLiteral("x"), 10, 20);
    EXPECT_EQ(seen.back().value, 10);
}

TEST_F(WaitTest, StartFailureGivesTheErrorValueAndLeavesTheBar)
{
    progress.setBarText(QStringLiteral("before"));
    EXPECT_EQ(wait(work() + QStringLiteral("/no such"), {}, &progress, QString(), 0, 1), kStartErrorBase + 2);
    EXPECT_EQ(wait(input, {}, &progress, QString(), 0, 1), kStartErrorBase + 13);  // not executable
    EXPECT_EQ(progress.barText(), QStringLiteral("before"));
    qputenv("FAKECONV_MODE", "fail");
    EXPECT_EQ(wait(kFake, {QStringLiteral("-o"), output, input}, &progress, QString(), 0, 1), 1);
    EXPECT_EQ(progress.barText(), QStringLiteral("Progress Bar"));
}

TEST_F(WaitTest, AWindowStyleOutsideZeroToSixReadsAsSix)
{
    qputenv("FAKECONV_MODE", "copy");
    const std::pair<int, int> styles[] = {{-1, 6}, {7, 6}, {0, 0}, {1, 1}, {6, 6}};
    for (const auto& [asked, taken] : styles) {
        EXPECT_EQ(NormalWindowStyle(asked), taken) << asked;
        EXPECT_EQ(wait(kFake, {QStringLiteral("-o"), output, input}, nullptr, QString(), 0, 1, asked), 0);
        EXPECT_EQ(style, taken) << asked;
    }
}

TEST_F(WaitTest, ArgumentsArriveIntactAndTheEndComesFromTheEventLoop)
{
    logConverterCalls();
    const QString odd = inputFile(QStringLiteral("it's a \"quoted\" name; $(rm -rf x) & *.pcx"));
    EXPECT_EQ(wait(kFake, {QStringLiteral("-o"), output, odd}, nullptr, QString(), 0, 1), 0);
    ASSERT_EQ(converterCalls().size(), 1u);
    EXPECT_EQ(converterCalls()[0], (QStringList{QStringLiteral("-o"), output, odd}));
}

TEST_F(WaitTest, AProgramThatIgnoresTheRequestToEndIsKilled)
{
    const ScopedEnv hold("FAKECONV_HOLD", input);
    const ScopedEnv term("FAKECONV_ON_TERM", QStringLiteral("ignore"));
    QProcess p;
    p.start(kFake, {QStringLiteral("-o"), output, input});
    ASSERT_TRUE(p.waitForStarted());
    // From its hidden file on, it ignores SIGTERM.
    ASSERT_TRUE(QTest::qWaitFor([this] { return QDir(work()).entryList(QDir::Files | QDir::Hidden).size() == 1; },
                                20000));
    StopProcess(p, std::chrono::milliseconds(100));
    EXPECT_EQ(p.state(), QProcess::NotRunning);
    EXPECT_EQ(p.exitStatus(), QProcess::CrashExit);
}

TEST_F(WaitTest, SeveralProgramsRunAtOnceAndEachSaysHowItEnded)
{
    const QString held = inputFile(QStringLiteral("held.pcx"));
    const ScopedEnv hold("FAKECONV_HOLD", held);
    qputenv("FAKECONV_MODE", "complain");
    ProcessRunner holding, complaining, missing;
    std::map<const ProcessRunner*, ProcessReport> reports;
    for (const ProcessRunner* r : {&holding, &complaining, &missing})
        QObject::connect(r, &ProcessRunner::finished, [&reports, r](const ProcessReport& report) {
            reports[r] = report;
        });
    holding.start(kFake, {QStringLiteral("-o"), output, held});
    complaining.start(kFake, {QStringLiteral("-o"), work() + QStringLiteral("/other.pcx"), input});
    missing.start(work() + QStringLiteral("/no such"), {});
    // Nothing is said from within a start, so a receiver may start the next program.
    EXPECT_TRUE(reports.empty());
    ASSERT_TRUE(QTest::qWaitFor([&] { return reports.size() == 2; }, 20000));
    EXPECT_EQ(holding.stage(), ProcessRunner::Stage::Running);
    EXPECT_EQ(reports[&missing].startError, ENOENT);
    EXPECT_EQ(reports[&complaining].startError, 0);
    EXPECT_EQ(reports[&complaining].exitCode, 1);
    EXPECT_FALSE(reports[&complaining].crashed);
    EXPECT_EQ(reports[&complaining].errorOutput,
              QFile::encodeName(QStringLiteral("palettrim-convert: %1: not a PCX file\n").arg(input)));
    // A stop returns once the program has ended.
    holding.stop();
    EXPECT_EQ(holding.stage(), ProcessRunner::Stage::Idle);
    ASSERT_TRUE(QTest::qWaitFor([&] { return reports.size() == 3; }, 20000));
}

TEST_F(WaitTest, ATalkativeProgramsErrorOutputIsKeptToItsStart)
{
    qputenv("FAKECONV_MODE", "chatter");
    ProcessRunner runner;
    std::optional<ProcessReport> report;
    QObject::connect(&runner, &ProcessRunner::finished, [&report](const ProcessReport& r) { report = r; });
    runner.start(kFake, {QStringLiteral("-o"), output, input});
    ASSERT_TRUE(QTest::qWaitFor([&report] { return report.has_value(); }, 20000));
    EXPECT_EQ(report->exitCode, 1);
    // 1 MiB was written; the first bytes are kept as they came.
    ASSERT_EQ(report->errorOutput.size(), ProcessReport::kErrorOutputLimit);
    EXPECT_TRUE(report->errorOutput.startsWith("line 000000\nline 000001\n"));
    EXPECT_EQ(report->errorOutput, runner.report().errorOutput);
}

TEST_F(WaitTest, ARunnerDroppedMidwayAsksItsProgramToEndFirst)
{
    const ScopedEnv hold("FAKECONV_HOLD", input);
    const QString note = inputs() + QStringLiteral("/terminated");
    const ScopedEnv noted("FAKECONV_TERM_NOTE", note);
    auto runner = std::make_unique<ProcessRunner>();
    bool told = false;
    QObject::connect(runner.get(), &ProcessRunner::finished, [&told] { told = true; });
    runner->start(kFake, {QStringLiteral("-o"), work() + QStringLiteral("/tavrik12345678.pcx"), input});
    ASSERT_TRUE(QTest::qWaitFor([this] { return holding(); }, 20000));
    runner.reset();
    // Asked to end, it removed what it was writing; killed outright, it could not have.
    EXPECT_TRUE(QFile::exists(note));
    EXPECT_FALSE(holding());
    QCoreApplication::processEvents();
    EXPECT_FALSE(told);
}

TEST_F(WaitTest, ABarGivenATextPerFileManyTimesASecondStillPaintsTheLast)
{
    struct Painted : QObject {
        ProgressBar* bar = nullptr;
        QStringList texts;
        bool eventFilter(QObject*, QEvent* e) override
        {
            if (e->type() == QEvent::Paint)
                texts << bar->barText();
            return false;
        }
    } painted;
    ProgressBar bar(nullptr);
    painted.bar = &bar;
    bar.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&bar));
    bar.installEventFilter(&painted);
    for (int i = 0; i < 200; ++i) {
        bar.setBarText(QString::number(i));
        QCoreApplication::processEvents();
    }
    EXPECT_TRUE(QTest::qWaitFor([&] { return !painted.texts.isEmpty() && painted.texts.last() == "199"; }));
    // Not a paint per text.
    EXPECT_LT(painted.texts.size(), 100);
}

// A screen reader reads the file a run is at as it is, and is told of a change at the pace of
// the bar's text, the last change always, rather than once a file.
TEST_F(WaitTest, ABarGivenANotePerFileManyTimesASecondAnnouncesFewChangesAndTheLast)
{
    static QObject* bar = nullptr;
    static QStringList announced;  // what a screen reader reads at each announcement
    // In place of the bridge, for the time of the test.
    struct Handler {
        ~Handler() { QAccessible::installUpdateHandler(before); }
        QAccessible::UpdateHandler before = QAccessible::installUpdateHandler([](QAccessibleEvent* e) {
            if (e->object() == bar && e->type() == QAccessible::DescriptionChanged)
                announced << e->accessibleInterface()->text(QAccessible::Description);
        });
    };
    if (QGuiApplication::platformName() == QStringLiteral("offscreen"))
        GTEST_SKIP() << "no screen reader's bridge offscreen; ctest accessible_bar runs this with one";
    // The bridge comes on once it has found the accessibility bus.
    ASSERT_TRUE(QTest::qWaitFor([] { return QAccessible::isActive(); }));
    ProgressBar shown(nullptr);
    bar = &shown;
    announced.clear();
    const Handler handler;
    for (int i = 1; i <= 200; ++i) {
        const QString note = QStringLiteral("File %1 of 200").arg(i);
        shown.setFileNote(note);
        ASSERT_EQ(QAccessible::queryAccessibleInterface(&shown)->text(QAccessible::Description), note);
        QCoreApplication::processEvents();
    }
    shown.setFileNote(QString());
    EXPECT_TRUE(QTest::qWaitFor([] { return !announced.isEmpty() && announced.last().isEmpty(); }));
    EXPECT_LT(announced.size(), 100);
}

TEST_F(WaitTest, ErrorLinesComeAsTheProgramWritesThemCutToTheirLimit)
{
    // Held, the program writes its line and waits: the line comes while it runs.
    {
        const ScopedEnv say("FAKECONV_SAY", QStringLiteral("first\n"));
        const ScopedEnv hold("FAKECONV_HOLD", input);
        ProcessRunner runner;
        QList<QByteArray> lines;
        QObject::connect(&runner, &ProcessRunner::errorLine, [&lines](const QByteArray& l) { lines << l; });
        runner.start(kFake, {QStringLiteral("-o"), output, input});
        ASSERT_TRUE(QTest::qWaitFor([&] { return !lines.isEmpty(); }, 20000));
        EXPECT_EQ(runner.stage(), ProcessRunner::Stage::Running);
        EXPECT_EQ(lines, QList<QByteArray>{"first"});
        runner.stop();
    }
    // A line past the limit comes cut, without its rest, and a last line without an end before
    // the end; what the report keeps stays within its own limit.
    const QByteArray longLine(ProcessReport::kLineLimit + 900, 'x');
    const ScopedEnv say("FAKECONV_SAY", QString::fromLatin1("one\n" + longLine + "\nthree"));
    qputenv("FAKECONV_MODE", "fail");
    ProcessRunner runner;
    QList<QByteArray> lines;
    bool ended = false;
    QObject::connect(&runner, &ProcessRunner::errorLine, [&](const QByteArray& l) {
        EXPECT_FALSE(ended);
        lines << l;
    });
    QObject::connect(&runner, &ProcessRunner::finished, [&ended] { ended = true; });
    runner.start(kFake, {QStringLiteral("-o"), output, input});
    ASSERT_TRUE(QTest::qWaitFor([&ended] { return ended; }, 20000));
    EXPECT_EQ(lines, (QList<QByteArray>{"one", longLine.left(ProcessReport::kLineLimit), "three"}));
    EXPECT_EQ(runner.report().errorOutput.size(), ProcessReport::kErrorOutputLimit);
}

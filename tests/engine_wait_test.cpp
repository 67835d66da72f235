#include "engine/shellandwait.h"
#include "engine_fixture.h"

#include <QTimer>

namespace {

class WaitTest : public EngineTest {
protected:
    void SetUp() override
    {
        EngineTest::SetUp();
        bar.setValueReal(50);
        bar.setBarText(QStringLiteral("Processing: a.pcx"));
        input = inputFile(QStringLiteral("a.pcx"));
        output = work() + QStringLiteral("/out.pcx");
    }
    int wait(const QString& program, const QString& base, int start, int rows)
    {
        return ShellAndWait(program, {QStringLiteral("-o"), output, input}, 0, &bar, base, start,
                            rows);
    }
    ProgressBar bar{nullptr};
    QString input;
    QString output;
};

const QString kFake = QStringLiteral(FAKECONV_PATH);

}  // namespace

TEST_F(WaitTest, ReturnsTheExitCodeAndRestoresTheText)
{
    EXPECT_EQ(wait(kFake, QStringLiteral("Processing: a.pcx"), 50, 2), 0);
    EXPECT_TRUE(QFile::exists(output));
    EXPECT_EQ(bar.barText(), QStringLiteral("Processing: a.pcx"));
    EXPECT_EQ(bar.valueReal(), 50);

    qputenv("FAKECONV_MODE", "fail");
    EXPECT_EQ(wait(kFake, QString(), 50, 2), 1);
    EXPECT_EQ(bar.barText(), QStringLiteral("Progress Bar"));
}

TEST_F(WaitTest, TextCountsFromTheFiftiethTickAndValueStepsEvery150)
{
    qputenv("FAKECONV_MODE", "sleep");
    qputenv("FAKECONV_SLEEP_MS", "300");
    RecordingTicks ticks(&bar);
    ticks.ticksPerWait = 350;
    wait(kFake, QStringLiteral("Processing: a.pcx"), 50, 2);

    ASSERT_EQ(ticks.afterTick.size(), 350u);
    // Ticks 1..49 leave the bar alone.
    for (int t = 1; t <= 49; ++t) {
        EXPECT_EQ(ticks.afterTick[t - 1].text, QStringLiteral("Processing: a.pcx")) << t;
        EXPECT_EQ(ticks.afterTick[t - 1].value, 50) << t;
    }
    EXPECT_EQ(ticks.afterTick[49].text, QStringLiteral("Processing: a.pcx, Please wait.. 0"));
    EXPECT_EQ(ticks.afterTick[50].text, QStringLiteral("Processing: a.pcx, Please wait.. 1"));
    EXPECT_EQ(ticks.afterTick[349].text, QStringLiteral("Processing: a.pcx, Please wait.. 300"));
    // Two files: steps of 5 from the start value, at ticks 50, 200, 350.
    EXPECT_EQ(ticks.afterTick[49].value, 50);
    EXPECT_EQ(ticks.afterTick[198].value, 50);
    EXPECT_EQ(ticks.afterTick[199].value, 55);
    EXPECT_EQ(ticks.afterTick[349].value, 60);
    EXPECT_EQ(bar.barText(), QStringLiteral("Processing: a.pcx"));
}

TEST_F(WaitTest, EmptyBaseTextAndTheBarsLimits)
{
    qputenv("FAKECONV_MODE", "sleep");
    qputenv("FAKECONV_SLEEP_MS", "300");
    RecordingTicks ticks(&bar);
    ticks.ticksPerWait = 50 + 150 * 12;
    bar.setValueReal(100);

    // The last of a one-file run starts at 100: the cap of 190 would run past the bar's end.
    wait(kFake, QString(), 100, 1);
    EXPECT_EQ(ticks.afterTick[49].text, QStringLiteral("Please wait.. 0"));
    for (const auto& seen : ticks.afterTick)
        ASSERT_LE(seen.value, 100);
    EXPECT_EQ(bar.barText(), QStringLiteral("Progress Bar"));

    // Twenty files and more: the step rounds to 0 and the value stays put.
    ticks.afterTick.clear();
    bar.setValueReal(10);
    wait(kFake, QStringLiteral("x"), 10, 20);
    for (const auto& seen : ticks.afterTick)
        ASSERT_EQ(seen.value, 10);

    // Four files: 2.5 rounds to a step of 2 and the cap is the start + 23.
    ticks.afterTick.clear();
    bar.setValueReal(25);
    wait(kFake, QStringLiteral("x"), 25, 4);
    EXPECT_EQ(ticks.afterTick[199].value, 27);
    EXPECT_EQ(ticks.afterTick.back().value, 48);
}

TEST_F(WaitTest, AProgramThatCannotStartGivesTheErrorValueAndLeavesTheBar)
{
    EXPECT_EQ(wait(work() + QStringLiteral("/no such program"), QStringLiteral("base"), 50, 2),
              kStartErrorBase + 2);
    EXPECT_EQ(bar.barText(), QStringLiteral("Processing: a.pcx"));

    QFile notAProgram(work() + QStringLiteral("/nconvert"));
    ASSERT_TRUE(notAProgram.open(QIODevice::WriteOnly));
    notAProgram.write("not a program\n");
    notAProgram.close();
    notAProgram.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    EXPECT_EQ(wait(notAProgram.fileName(), QString(), 50, 2), kStartErrorBase + 13);
    EXPECT_EQ(wait(work(), QString(), 50, 2), kStartErrorBase + 13);
    EXPECT_FALSE(QFile::exists(output));
    EXPECT_EQ(bar.barText(), QStringLiteral("Processing: a.pcx"));
}

TEST_F(WaitTest, ArgumentsArriveIntactAndEventsRunDuringTheWait)
{
    logConverterCalls();
    qputenv("FAKECONV_MODE", "sleep");
    qputenv("FAKECONV_SLEEP_MS", "200");
    const QString odd = inputFile(QStringLiteral("it's a \"quoted\" name; $(rm -rf x) & *.pcx"));
    bool returned = false;
    bool ranDuringWait = false;
    QTimer::singleShot(0, [&] { ranDuringWait = !returned; });
    EXPECT_EQ(ShellAndWait(kFake, {QStringLiteral("-o"), output, odd}, 0, nullptr, QString(), 0, 1),
              0);
    returned = true;
    EXPECT_TRUE(ranDuringWait);
    const auto calls = converterCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], (QStringList{QStringLiteral("-o"), output, odd}));
    EXPECT_TRUE(QFile::exists(output));
}

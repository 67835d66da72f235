// Runs to one palette: the pass before the files (one palette gathered from all of them, or a
// palette file checked), what each file's command line gains, and the pass's own files.
#include "core/errorreport.h"
#include "core/busy.h"
#include "core/fileops.h"
#include "core/settings.h"
#include "core/leftovers.h"
#include "core/messages.h"
#include "engine/run.h"
#include "engine_fixture.h"
#include "results/form2.h"
#include "support/files.h"
#include "support/recorded_progress.h"

#include <QDir>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>

namespace {

class PaletteRunTest : public EngineTest {
protected:
    void SetUp() override
    {
        EngineTest::SetUp();
        installFakeConverter();
        logConverterCalls();
        SetService(&Services::runWorkers, 1);
    }
    RunResult run(const QStringList& files, const RunChoice& choice, RunControl* control = nullptr)
    {
        ErrorTrap trap("Test", "run");
        return RunReduction(trap, files, {&progress, [] { return QStringLiteral("16 colors"); }, control, choice});
    }
    // What the run keeps in the work folder, hidden files of a writer included; not the
    // converter.
    QStringList workFiles() const
    {
        return QDir(work()).entryList({QStringLiteral("*tavrik*")}, QDir::Files | QDir::Hidden, QDir::Name);
    }
    // The pass's palette or names file in the work folder, as the run draws them.
    bool isPassFile(const QString& path, const char* extension) const
    {
        return QRegularExpression(QStringLiteral("^%1/tavrik[1-9]{8}\\.%2$")
                                      .arg(QRegularExpression::escape(work()), QLatin1String(extension)))
            .match(path)
            .hasMatch();
    }
    static QStringList copiesOf(const RunResult& r)
    {
        QStringList names;
        for (const ReductionRecord& record : r.records)
            if (!record.failed())
                names << FileNamePart(record.workCopy);
        names.sort();
        return names;
    }

    RecordedProgress progress;
};

}  // namespace

TEST_F(PaletteRunTest, OnePaletteForAllIsGatheredFirstThenEveryFileIsConvertedToIt)
{
    const QStringList files = {inputFile(QStringLiteral("a.pcx")), inputFile(QStringLiteral("b.pcx"), "pillow_24bit.pcx"),
                               inputFile(QStringLiteral("c.pcx"), "allegro_mysha.pcx")};
    const ScopedEnv names("FAKECONV_NAMES_LOG", inputs() + QStringLiteral("/names"));
    RecordingTicks ticks(&progress);
    ticks.ticksPerWait = 3;
    const RunResult r = run(files, {PaletteKind::Shared});
    ASSERT_EQ(r.end, RunEnd::Finished);
    const auto calls = converterCalls();
    ASSERT_EQ(calls.size(), 4u);
    ASSERT_EQ(calls[0].size(), 8);
    const QString palette = calls[0][5];
    EXPECT_TRUE(isPassFile(palette, "act")) << palette.toStdString();
    EXPECT_TRUE(isPassFile(calls[0][7], "names")) << calls[0][7].toStdString();
    EXPECT_EQ(calls[0], (QStringList{"-shared", "-colors", "16", "-progress", "-palette-out", palette,
                                     "-files0-from", calls[0][7]}));
    EXPECT_EQ(readFile(inputs() + QStringLiteral("/names")), QFile::encodeName(files.join('\n')) + "\n--\n");
    const char* after[] = {"2 KB", "9 KB", "30 KB"};
    for (int i = 0; i < 3; ++i) {
        const ReductionRecord& record = r.records[i];
        EXPECT_EQ(calls[i + 1], (QStringList{"-palette", palette, "-c", "1", "-no-sync", "-o", record.workCopy, files[i]}));
        EXPECT_EQ(record.sizeAfter, QLatin1String(after[i])) << i;
        EXPECT_EQ(record.madeWith, QStringLiteral("One palette for 3 files, 8-bit"));
    }
    // The bar counts the files as the converter reads them, then the files as they are converted.
    const QStringList seen = {"Gathering colours: 0 of 3", "Gathering colours: 1 of 3", "Gathering colours: 2 of 3",
                              "Gathering colours: 3 of 3", "Processing: a.pcx"};
    qsizetype at = 0;
    for (const QString& text : progress.texts)
        if (at < seen.size() && text == seen[at])
            ++at;
    EXPECT_EQ(at, seen.size()) << progress.texts.join(" | ").toStdString();
    // Every tick of the pass's wait paints the bar again, however long a file takes.
    EXPECT_EQ(progress.texts.count(seen[0]), 1 + ticks.ticksPerWait);
    EXPECT_EQ(progress.text, Messages::kBarAtRest);
    // Only the copies stay: the palette and the names went with the run.
    EXPECT_EQ(workFiles(), copiesOf(r));
}

TEST_F(PaletteRunTest, TheKeyColourGoesWithAPaletteAndDitherWithEveryRun)
{
    const QString game = inputFile(QStringLiteral("game.pcx"), "allegro_allegro.pcx");
    struct Case {
        const char* what;
        RunChoice choice;
        const char* entries;
        // The file's command line before "-c 1 -o OUT IN"; PALETTE stands for the pass's own.
        QStringList before;
        QString made;
        QString palettePass;  // the pass's line, or its last arguments
    };
    const Dither none = Dither::None, diffuse = Dither::Diffuse, pattern = Dither::Pattern;
    const Case cases[] = {
        {"own palette, dithered", {PaletteKind::Own, {}, {}, diffuse}, nullptr, {"-colors", "16", "-dither"},
         "Dithered", {}},
        {"own palette, pattern", {PaletteKind::Own, {}, {}, pattern}, nullptr,
         {"-colors", "16", "-dither", "pattern"}, "Pattern-dithered", {}},
        {"one for all, key", {PaletteKind::Shared, {}, "ff00ff", none}, nullptr,
         {"-palette", "PALETTE", "-transparent", "ff00ff:0"}, "One palette for 1 file, 8-bit", "-transparent ff00ff:0"},
        {"one for all, key, dithered", {PaletteKind::Shared, {}, "00ff80", diffuse}, nullptr,
         {"-palette", "PALETTE", "-transparent", "00ff80:0", "-dither"}, "One palette for 1 file, 8-bit, dithered",
         "-transparent 00ff80:0"},
        {"one for all, pattern", {PaletteKind::Shared, {}, {}, pattern}, nullptr,
         {"-palette", "PALETTE", "-dither", "pattern"}, "One palette for 1 file, 8-bit, pattern-dithered",
         {}},
        {"a file's, dithered", {PaletteKind::Given, game, {}, diffuse}, nullptr, {"-palette", game, "-dither"},
         "Palette of game.pcx, dithered", "Palette of game.pcx: 256 entries"},
        {"a file's, pattern", {PaletteKind::Given, game, {}, pattern}, nullptr,
         {"-palette", game, "-dither", "pattern"}, "Palette of game.pcx, pattern-dithered",
         "Palette of game.pcx: 256 entries"},
        {"a file's of 16, key", {PaletteKind::Given, game, "ff00ff", none}, "16",
         {"-palette", game, "-transparent", "ff00ff:0"}, "Palette of game.pcx", "Palette of game.pcx: 16 entries"},
    };
    const QString a = inputFile(QStringLiteral("a.pcx"));
    for (const Case& c : cases) {
        QFile::remove(inputs() + QStringLiteral("/log"));
        progress.texts.clear();
        const ScopedEnv entries("FAKECONV_ENTRIES", QString::fromLatin1(c.entries ? c.entries : "256"));
        const RunResult r = run({a}, c.choice);
        ASSERT_EQ(r.end, RunEnd::Finished) << c.what;
        const auto calls = converterCalls();
        ASSERT_EQ(calls.size(), c.choice.palette == PaletteKind::Own ? 1u : 2u) << c.what;
        QStringList expected = c.before;
        expected.replaceInStrings(QStringLiteral("PALETTE"), calls[0].value(5));
        expected << "-c" << "1" << "-no-sync" << "-o" << r.records[0].workCopy << a;
        EXPECT_EQ(calls.back(), expected) << c.what;
        EXPECT_EQ(r.records[0].madeWith, c.made) << c.what;
        if (c.choice.palette == PaletteKind::Shared) {
            EXPECT_TRUE(calls[0].join(' ').endsWith(c.palettePass)) << c.what;
        }
        if (c.choice.palette == PaletteKind::Given) {
            EXPECT_EQ(calls[0], (QStringList{"-palette", game, "-palette-out", calls[0].value(3)})) << c.what;
            EXPECT_TRUE(isPassFile(calls[0].value(3), "act")) << c.what;
            // The palette's size shows until the first file starts.
            const qsizetype shown = progress.texts.indexOf(c.palettePass);
            ASSERT_GE(shown, 0) << c.what;
            EXPECT_EQ(progress.texts.value(shown + 1), QStringLiteral("Processing: a.pcx")) << c.what;
        }
        EXPECT_EQ(workFiles(), copiesOf(r)) << c.what;
        QFile::remove(r.records[0].workCopy);
    }
}

TEST_F(PaletteRunTest, ARowThePassLeftOutFailsWithItsReasonAndTheOthersGoOn)
{
    // Its name holds what the converter's line also uses: ": ", and control characters it
    // writes as \t and \n. The list holds it twice.
    const QString odd = inputFile(QStringLiteral("odd: left\tout\n.pcx"));
    const QStringList files = {inputFile(QStringLiteral("a.pcx")), odd, inputFile(QStringLiteral("c.pcx")), odd};
    const ScopedEnv leaveOut("FAKECONV_LEAVE_OUT", QStringLiteral("left"));
    const RunResult r = run(files, {PaletteKind::Shared});
    ASSERT_EQ(r.end, RunEnd::Finished);
    ASSERT_EQ(r.records.size(), 4);
    for (int i : {1, 3}) {
        EXPECT_EQ(r.records[i].sizeBefore, QStringLiteral("3 KB")) << i;
        EXPECT_EQ(r.records[i].sizeAfter, Messages::kFailToReduce) << i;
        EXPECT_EQ(r.records[i].failure, QStringLiteral("cannot open")) << i;
        EXPECT_FALSE(r.records[i].stopped) << i;
    }
    for (int i : {0, 2})
        EXPECT_EQ(r.records[i].sizeAfter, QStringLiteral("2 KB")) << i;
    // Those left out are not converted, and the palette is counted as the others'.
    const auto calls = converterCalls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[1].back(), files[0]);
    EXPECT_EQ(calls[2].back(), files[2]);
    EXPECT_EQ(r.records[0].madeWith, QStringLiteral("One palette for 2 files, 8-bit"));
}

TEST_F(PaletteRunTest, WithoutAPaletteNoFileIsConvertedAndEachFailsWithThePassReason)
{
    const QStringList files = {inputFile(QStringLiteral("a.pcx")), inputFile(QStringLiteral("b.pcx")),
                               inputFile(QStringLiteral("c.pcx"))};
    const ScopedEnv leaveOut("FAKECONV_LEAVE_OUT", QStringLiteral("b.pcx"));
    qputenv("FAKECONV_MODE", "fail");
    const RunResult r = run(files, {PaletteKind::Shared});
    ASSERT_EQ(r.end, RunEnd::Finished);
    EXPECT_EQ(converterCalls().size(), 1u);
    ASSERT_EQ(r.records.size(), 3);
    const char* reasons[] = {"no input could be read; no palette written", "cannot open",
                             "no input could be read; no palette written"};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(r.records[i].sizeBefore, QStringLiteral("3 KB")) << i;
        EXPECT_EQ(r.records[i].sizeAfter, Messages::kFailToReduce) << i;
        EXPECT_EQ(r.records[i].failure, QLatin1String(reasons[i])) << i;
    }
    EXPECT_EQ(workFiles(), QStringList());
    EXPECT_EQ(progress.text, Messages::kBarAtRest);
}

TEST_F(PaletteRunTest, StoppedWhileItGathersThePassLeavesNothingAndNoFileIsConverted)
{
    const QStringList files = {inputFile(QStringLiteral("a.pcx")), inputFile(QStringLiteral("b.pcx")),
                               inputFile(QStringLiteral("c.pcx"))};
    // The converter holds at the second file, writing beside the palette, until it is asked
    // to end.
    const ScopedEnv hold("FAKECONV_HOLD", files[1]);
    const QString note = inputs() + QStringLiteral("/terminated");
    const ScopedEnv noted("FAKECONV_TERM_NOTE", note);
    struct Case {
        const char* how;
        std::function<void(RunControl&)> stop;
        RunEnd end;
        // Its files are gone as soon as the stop returns: the program may end straight after.
        bool goneAtOnce;
    };
    const Case cases[] = {
        {"Escape", [](RunControl& c) { emit c.stopAsked(); }, RunEnd::Finished, false},
        {"a close", [](RunControl& c) { emit c.stopNow(); }, RunEnd::Stopped, true},
        // The program's last moments, when it ends without unwinding.
        {"the end without unwinding", [](RunControl&) { Leftovers::removeAll(std::chrono::milliseconds(1000)); },
         RunEnd::Finished, true},
    };
    for (const Case& c : cases) {
        QFile::remove(inputs() + QStringLiteral("/log"));
        QFile::remove(note);
        RunControl control;
        bool held = false;
        QStringList leftAfterStop;
        progress.onText = [&](const QString& text) {
            if (text != QStringLiteral("Gathering colours: 2 of 3"))
                return;
            QTimer::singleShot(0, [&] {
                held = QTest::qWaitFor([&] { return holding(); }, 20000);
                c.stop(control);
                if (c.goneAtOnce)
                    leftAfterStop = workFiles();
            });
        };
        const RunResult r = run(files, {PaletteKind::Shared}, &control);
        progress.onText = {};
        EXPECT_TRUE(held) << c.how;
        EXPECT_EQ(r.end, c.end) << c.how;
        EXPECT_TRUE(QFile::exists(note)) << c.how << ": the converter was not asked to end";
        EXPECT_EQ(converterCalls().size(), 1u) << c.how;
        EXPECT_EQ(workFiles(), QStringList()) << c.how;
        EXPECT_EQ(leftAfterStop, QStringList()) << c.how;
        if (c.end == RunEnd::Stopped) {
            EXPECT_TRUE(r.records.isEmpty()) << c.how;
            continue;
        }
        ASSERT_EQ(r.records.size(), 3) << c.how;
        for (const ReductionRecord& record : r.records) {
            EXPECT_EQ(record.sizeBefore, QStringLiteral("3 KB")) << c.how;
            EXPECT_EQ(record.sizeAfter, Messages::kFailToReduce) << c.how;
            if (c.end == RunEnd::Finished && std::string(c.how) == "Escape") {
                EXPECT_TRUE(record.stopped) << c.how;
                EXPECT_EQ(record.failure, Messages::kRunStopped) << c.how;
            }
        }
    }
}

TEST_F(PaletteRunTest, APaletteFileTheConverterCannotReadIsRefusedAndNothingChanges)
{
    const QString bad = inputs() + QStringLiteral("/bad.pal");
    writeFile(bad, "bad palette\n");
    Form1& f1 = mainWindow({inputFile(QStringLiteral("a.pcx")), inputFile(QStringLiteral("b.pcx"))});
    const QStringList rows = f1.ListView1->rowTexts();
    // The results of an earlier run stay as they were.
    f1.PushButton2_Click();
    Form2& f2 = *Forms::form2IfLoaded();
    f2.hide();
    f1.show();
    const QStringList earlier = f2.mColFiles();
    const QStringList before = workFiles();
    const std::pair<QString, const char*> cases[] = {{bad, "line 2: not three numbers"},
                                                     {inputs() + QStringLiteral("/gone.pal"), "cannot open"}};
    for (const auto& [file, reason] : cases) {
        prompts.messages.clear();
        prompts.files.push_back({{file}, false});
        f1.mnuPaletteOfFile_Click();
        ASSERT_EQ(prompts.messages.size(), 1u) << reason;
        EXPECT_EQ(prompts.messages[0].text, Messages::kPaletteRefused.arg(file, QLatin1String(reason)));
        EXPECT_EQ(prompts.messages[0].icon, Prompts::Icon::Warning);
        EXPECT_FALSE(f2.isVisible()) << reason;
        EXPECT_TRUE(f1.isVisible()) << reason;
        EXPECT_EQ(f2.mColFiles(), earlier) << reason;
        EXPECT_EQ(f1.ListView1->rowTexts(), rows) << reason;
        EXPECT_EQ(f1.ProgressBar1->barText(), Messages::kBarAtRest) << reason;
        EXPECT_EQ(workFiles(), before) << reason;
        EXPECT_FALSE(f1.isBusy()) << reason;
    }
    // The two checks, and no file converted.
    EXPECT_EQ(converterCalls().size(), 2u + 2u);
}

TEST_F(PaletteRunTest, TheMenusRunsAndTheirKeysDoNothingDuringARunOrASaveOrWithoutFiles)
{
    Form1& f1 = mainWindow({});
    f1.show();
    f1.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&f1));
    const auto tryAll = [&f1] {
        QTest::keyClick(&f1, Qt::Key_Return, Qt::ControlModifier | Qt::ShiftModifier);
        QTest::keyClick(&f1, Qt::Key_P, Qt::ControlModifier | Qt::ShiftModifier);
        f1.mnuOnePalette->trigger();
        f1.mnuPaletteOfFile->trigger();
    };
    tryAll();
    EXPECT_EQ(prompts.messageTexts(), QStringList(4, Messages::kNoFilesAdded));
    EXPECT_TRUE(prompts.fileRequests.empty());

    prompts.messages.clear();
    f1.ListView1->addRow(inputFile(QStringLiteral("a.pcx")));
    f1.ListView1->addRow(inputFile(QStringLiteral("b.pcx")));
    RecordingTicks ticks(f1.ProgressBar1);
    ticks.onWaitBegins = [&] {
        if (ticks.waits == 1)
            tryAll();
    };
    f1.PushButton2_Click();
    ticks.onWaitBegins = {};
    EXPECT_EQ(converterCalls().size(), 2u);
    {
        const BusyOperation saving;
        tryAll();
    }
    EXPECT_EQ(converterCalls().size(), 2u);
    EXPECT_TRUE(prompts.fileRequests.empty());
    EXPECT_TRUE(prompts.messages.empty());

    // Idle, each key starts its run.
    Forms::form2IfLoaded()->hide();
    f1.show();
    f1.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&f1));
    QTest::keyClick(&f1, Qt::Key_Return, Qt::ControlModifier | Qt::ShiftModifier);
    ASSERT_EQ(converterCalls().size(), 5u);
    EXPECT_EQ(converterCalls()[2].value(0), QStringLiteral("-shared"));
    Forms::form2IfLoaded()->hide();
    f1.show();
    f1.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&f1));
    QTest::keyClick(&f1, Qt::Key_P, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(prompts.fileRequests.size(), 1u);
}

TEST_F(PaletteRunTest, ThePaletteFolderDitherAndKeyColourAreKeptAndTheRunsTakeThem)
{
    Form1& f1 = mainWindow({inputFile(QStringLiteral("a.pcx"))});
    const QString folder = inputs() + QStringLiteral("/palettes");
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString game = folder + QStringLiteral("/game.pcx");
    ASSERT_TRUE(QFile::copy(QStringLiteral(ENGINE_TEST_PCX_DIR "/allegro_allegro.pcx"), game));
    prompts.files.push_back({{game}, false});
    f1.mnuPaletteOfFile_Click();
    ASSERT_EQ(prompts.fileRequests.size(), 1u);
    EXPECT_EQ(prompts.fileRequests[0].title, QStringLiteral("Choose the palette"));
    EXPECT_EQ(prompts.fileRequests[0].filter, QStringLiteral("Palettes (*.pcx *.pal *.gpl *.act)|*.pcx;*.pal;*.gpl;*.act|"));
    EXPECT_FALSE(prompts.fileRequests[0].multiSelect);
    EXPECT_EQ(prompts.fileRequests[0].initialName, QDir::homePath());
    EXPECT_EQ(Settings::get(Settings::kLastPaletteFolder), folder);
    EXPECT_EQ(converterCalls().size(), 2u);
    Forms::form2IfLoaded()->hide();
    // The next dialog starts there; a cancel runs nothing.
    f1.mnuPaletteOfFile_Click();
    ASSERT_EQ(prompts.fileRequests.size(), 2u);
    EXPECT_EQ(prompts.fileRequests[1].initialName, folder);
    EXPECT_EQ(converterCalls().size(), 2u);

    f1.mnuDither->trigger();
    EXPECT_EQ(Settings::get(Settings::kDither), QStringLiteral("diffuse"));
    prompts.colours.push_back({true, QStringLiteral("ff00ff")});
    f1.mnuKeyColour->trigger();
    EXPECT_EQ(Settings::get(Settings::kKeyColour), QStringLiteral("ff00ff"));
    f1.mnuOnePalette_Click();
    Forms::form2IfLoaded()->hide();
    f1.PushButton2_Click();
    const auto calls = converterCalls();
    ASSERT_EQ(calls.size(), 5u);
    EXPECT_TRUE(calls[2].join(' ').endsWith(QStringLiteral("-transparent ff00ff:0")));
    EXPECT_EQ(calls[3].mid(0, 5), (QStringList{"-palette", calls[2][5], "-transparent", "ff00ff:0", "-dither"}));
    // Without a palette the key colour means nothing.
    EXPECT_EQ(calls[4].mid(0, 3), (QStringList{"-colors", "256", "-dither"}));
    EXPECT_EQ(calls[4].size(), 9);

    // The steady pattern reaches every kind of run; the passes before the files take none.
    Forms::form2IfLoaded()->hide();
    f1.mnuPatternDither->trigger();
    EXPECT_EQ(Settings::get(Settings::kDither), QStringLiteral("pattern"));
    f1.mnuOnePalette_Click();
    Forms::form2IfLoaded()->hide();
    f1.PushButton2_Click();
    Forms::form2IfLoaded()->hide();
    prompts.files.push_back({{game}, false});
    // The folder the row was added from goes with its record to the results.
    f1.ListView1->setRowTag(0, inputs() + QStringLiteral("/"));
    f1.mnuPaletteOfFile_Click();
    EXPECT_EQ(Forms::form2IfLoaded()->records().value(0).addedFrom, inputs() + QStringLiteral("/"));
    const auto patterned = converterCalls();
    ASSERT_EQ(patterned.size(), 10u);
    for (size_t i : {5u, 8u})
        EXPECT_FALSE(patterned[i].contains(QStringLiteral("-dither"))) << i;
    EXPECT_EQ(patterned[6].mid(0, 6), (QStringList{"-palette", patterned[5][5], "-transparent", "ff00ff:0", "-dither", "pattern"}));
    EXPECT_EQ(patterned[7].mid(0, 4), (QStringList{"-colors", "256", "-dither", "pattern"}));
    EXPECT_EQ(patterned[9].mid(0, 6), (QStringList{"-palette", game, "-transparent", "ff00ff:0", "-dither", "pattern"}));
    EXPECT_EQ(Forms::form2IfLoaded()->records().value(0).madeWith, QStringLiteral("Palette of game.pcx, pattern-dithered"));
}

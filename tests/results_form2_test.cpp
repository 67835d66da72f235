// The results window: loading, the output folder, saving and leaving.
#include "core/errorreport.h"
#include "core/messages.h"
#include "support/files.h"
#include "app/form1.h"
#include "widgets/allwindows.h"
#include "core/session.h"
#include "core/settings.h"
#include "widgets/skin.h"
#include "results/form2.h"
#include "support/layout.h"
#include "support/test_env.h"

#include <QAccessible>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QScopeGuard>
#include <QSessionManager>
#include <QTest>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstring>

#include <sys/mount.h>
#include <unistd.h>

namespace {

QStringList filesIn(const QString& folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

}  // namespace

// Three inputs as a finished run leaves them: two reduced copies in the work folder,
// one conversion that failed (its copy was never written).
class ResultsTest : public AppTest {
protected:
    void SetUp() override
    {
        AppTest::SetUp();
        ASSERT_TRUE(m_inputs.isValid() && m_work.isValid() && m_out.isValid());
        const QStringList names = {"photo.pcx", "PIC.PCX", "scan.01.pcx"};
        inputs.clear();  // a case may set up a second time
        work.clear();
        for (int i = 0; i < names.size(); ++i) {
            inputs << m_inputs.filePath(names[i]);
            writeFile(inputs.last(), "input " + names[i].toUtf8());
            work << m_work.filePath(QStringLiteral("tavrik%1.pcx").arg(10000000 + i));
        }
        writeFile(work[0], "reduced photo");
        writeFile(work[2], "reduced scan");

        Form1& f1 = Forms::form1();
        for (const QString& p : inputs)
            f1.ListView1->addRow(p);
        Form2& f2 = Forms::form2();
        const QStringList after = {"1 KB", "Fail to reduce", "2 KB"};
        ReductionRecords records;
        for (int i = 0; i < inputs.size(); ++i)
            records.append({inputs[i], work[i], QStringLiteral("3 KB"), after[i],
                            i == 1 ? QStringLiteral("not a PCX file") : QString()});
        f2.setRecords(records);
        f2.show();
        f1.hide();
        prompts.messages.clear();
    }

    Form2& form2() { return Forms::form2(); }
    QString outDir() const { return m_out.path(); }

    void expectOneReportThenDone(const char* procedure)
    {
        ASSERT_EQ(prompts.messages.size(), 2u) << prompts.messageTexts().join("|").toStdString();
        EXPECT_EQ(prompts.messages[0].caption, "Application Error");
        EXPECT_TRUE(prompts.messages[0].text.contains(
            QStringLiteral("in Colorpare2021/08/31.Form2.%1 ").arg(procedure)));
        EXPECT_TRUE(prompts.messages[0].text.startsWith(
            inputs[1] + " was not saved: its reduction failed (not a PCX file)\n"))
            << prompts.messages[0].text.toStdString();
        EXPECT_EQ(prompts.messages[1].text, "Done.");
        EXPECT_EQ(prompts.messages[1].caption, QString());
        EXPECT_EQ(prompts.messages[1].icon, Prompts::Icon::None);
    }

    QTemporaryDir m_inputs, m_work, m_out;
    QStringList inputs, work;
};

TEST_F(AppTest, ResultsWindowLoadsWithDesktopFolderAndColumnsOnce)
{
    Form2& f = Forms::form2();
    EXPECT_EQ(f.windowTitle(), "Palettrim");
    EXPECT_EQ(f.Text1->text(), Settings::desktopFolder());
    EXPECT_EQ(Settings::stored(Settings::kOutputFolder).value_or("absent"), Settings::desktopFolder());
    EXPECT_TRUE(f.Option3->isChecked());
    ASSERT_EQ(f.ListView1->columnCount(), 3);
    EXPECT_EQ(f.ListView1->headerItem()->text(0), "Preview");
    EXPECT_EQ(f.ListView1->headerItem()->text(1), "Size Before");
    EXPECT_EQ(f.ListView1->headerItem()->text(2), "Size After");

    // The button-face colour replaces the white design on the window, frames and options only.
    const QColor face = ButtonFaceColour();
    ASSERT_NE(face, QColor(Qt::white));
    for (QWidget* w : std::initializer_list<QWidget*>{&f, f.Frame1, f.Frame3, f.Option3, f.Option4})
        EXPECT_EQ(w->palette().color(QPalette::Window), face);
    EXPECT_EQ(f.Text1->palette().color(QPalette::Base), FixedControlPalette().color(QPalette::Base));

    // The window is loaded once: a second use finds the same window and the same columns.
    f.Option4->setChecked(true);
    EXPECT_EQ(&Forms::form2(), &f);
    EXPECT_EQ(f.ListView1->columnCount(), 3);
    EXPECT_TRUE(prompts.messages.empty());
}

TEST_F(AppTest, ResultsWindowMatchesItsDesignAndTakesTheHandOverItsButtons)
{
    QTemporaryDir program;
    ASSERT_TRUE(QFile::copy(":/HAND-M.CUR", program.filePath("HAND-M.CUR")));
    SetService(&Services::programFolder, program.path());
    Form2& f = Forms::form2();
    f.show();
    f.grab().save(QStringLiteral(TEST_OUTPUT_DIR "/form2.png"));
    EXPECT_EQ(f.size(), px(8040, 5865));
    // In tab order.
    expectDesignedLayout(f, {
                                {f.ListView1, {120, 120, 7800, 3135}},
                                {f.Text1, {240, 300, 6660, 345}},
                                {f.PushButton7, {6960, 300, 600, 345}},
                                {f.PushButton8, {120, 5355, 3720, 405}},
                                {f.PushButton6, {3960, 5355, 3960, 405}},
                                {f.Frame1, {120, 4440, 7800, 810}},
                                {f.Frame3, {120, 3330, 7800, 1035}},
                                {f.Option4, {240, 650, 2895, 255}},
                                {f.Option3, {240, 300, 2895, 255}},
                            });
    EXPECT_EQ(f.ListView1->columnWidth(0), px(5000));
    EXPECT_EQ(f.ListView1->columnWidth(1), px(1300));
    EXPECT_EQ(f.ListView1->columnWidth(2), px(1300));

    for (QWidget* button : {static_cast<QWidget*>(f.PushButton6), static_cast<QWidget*>(f.PushButton7),
                            static_cast<QWidget*>(f.PushButton8)}) {
        enterWidget(button);
        EXPECT_EQ(f.mousePointer(), kPointerCustom);
        EXPECT_EQ(f.cursor().shape(), Qt::BitmapCursor);
        enterWidget(f.ListView1->viewport());
        EXPECT_EQ(f.mousePointer(), kPointerDefault);
        EXPECT_EQ(f.cursor().shape(), Qt::ArrowCursor);
    }
    enterWidget(f.PushButton6);
    for (QWidget* plain : {static_cast<QWidget*>(f.Frame1), static_cast<QWidget*>(f.Frame3),
                           static_cast<QWidget*>(f.Text1)}) {
        enterWidget(f.PushButton6);
        enterWidget(plain);
        EXPECT_EQ(f.mousePointer(), kPointerDefault);
    }
    EXPECT_TRUE(prompts.messages.empty());
}

TEST_F(AppTest, PointerStaysTheHandWhileItMovesAcrossAButtonAndIsTheArrowElsewhere)
{
    QTemporaryDir program;
    ASSERT_TRUE(QFile::copy(":/HAND-M.CUR", program.filePath("HAND-M.CUR")));
    SetService(&Services::programFolder, program.path());
    Form2& f = Forms::form2();
    f.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&f));
    // Real moves, which a button hands on to its frame and its window.
    for (PushButton* b : {f.PushButton6, f.PushButton7, f.PushButton8}) {
        for (int x = 2; x < b->width() - 2; x += 6) {
            QTest::mouseMove(b, QPoint(x, b->height() / 2));
            ASSERT_EQ(f.mousePointer(), kPointerCustom) << b->text().toStdString() << " at " << x;
        }
        QTest::mouseMove(f.ListView1->viewport(), f.ListView1->viewport()->rect().center());
        EXPECT_EQ(f.mousePointer(), kPointerDefault);
        QTest::mouseMove(b, b->rect().center());
        QTest::mouseMove(&f, QPoint(f.PushButton8->geometry().right() + 4, f.height() - 8));
        EXPECT_EQ(f.mousePointer(), kPointerDefault);
    }
}

TEST_F(AppTest, ResultsWindowLoadGoesOnPastABadPointerFileAndKeepsStoredFolder)
{
    QTemporaryDir program;
    writeFile(program.filePath("HAND-M.CUR"), "not a cursor");
    SetService(&Services::programFolder, program.path());
    Settings::put(Settings::kOutputFolder, "/srv/pictures");

    Form2& f = Forms::form2();
    ASSERT_EQ(prompts.messages.size(), 1u);
    EXPECT_TRUE(prompts.messages[0].text.contains("in Colorpare2021/08/31.Form2.Form_Load "));
    EXPECT_FALSE(f.hasCustomPointer());
    EXPECT_EQ(f.Text1->text(), "/srv/pictures");
    EXPECT_EQ(f.ListView1->columnCount(), 3);
}

TEST_F(AppTest, OutputFolderIsStoredOnEveryChangeAndBrowsingKeepsItsOwnStart)
{
    Form2& f = Forms::form2();
    f.Text1->clear();
    EXPECT_EQ(Settings::stored(Settings::kOutputFolder).value_or("absent"), QString());
    f.Text1->insert("/a");
    EXPECT_EQ(Settings::get(Settings::kOutputFolder), "/a");
    f.Text1->insert("b");
    EXPECT_EQ(Settings::get(Settings::kOutputFolder), "/ab");

    // Cancelled browse: nothing changes; the browser opened at "LastFolderDot" (empty).
    f.PushButton7_Click();
    EXPECT_EQ(prompts.folderStarts, QStringList({QString()}));
    EXPECT_EQ(f.Text1->text(), "/ab");
    EXPECT_EQ(Settings::stored(Settings::kLastFolderDot).value_or("absent"), "absent");

    prompts.folders = {"/srv/out", "/"};
    f.PushButton7_Click();
    EXPECT_EQ(f.Text1->text(), "/srv/out/");
    EXPECT_EQ(Settings::get(Settings::kOutputFolder), "/srv/out/");
    EXPECT_EQ(Settings::get(Settings::kLastFolderDot), "/srv/out");

    // A root already ends in the separator; the next browse starts where the last one ended.
    f.PushButton7_Click();
    EXPECT_EQ(prompts.folderStarts.last(), "/srv/out");
    EXPECT_EQ(f.Text1->text(), "/");
    EXPECT_EQ(Settings::get(Settings::kLastFolderDot), "/");
    EXPECT_TRUE(prompts.messages.empty());
}

// A screen reader hears of each copy what the preview says of it: the palette it was made to.
TEST_F(ResultsTest, EachRowsCellsDescribeHowItsCopyWasMade)
{
    Form2& f2 = form2();
    ReductionRecords records = f2.records();
    for (ReductionRecord& r : records)
        r.madeWith = QStringLiteral("One palette for 2 files, 8-bit");
    records[2].madeWith = QStringLiteral("Palette of game.pcx, dithered");
    f2.setRecords(records);
    QCoreApplication::processEvents();  // the list lays out its rows
    QAccessibleTableInterface* table = QAccessible::queryAccessibleInterface(f2.ListView1)->tableInterface();
    ASSERT_NE(table, nullptr);
    const QString said[] = {records[0].madeWith, QString(), records[2].madeWith};  // the failed row: nothing
    for (int row = 0; row < 3; ++row)
        for (int column = 0; column < 3; ++column)
            if (QAccessibleInterface* cell = table->cellAt(row, column); cell)
                EXPECT_EQ(cell->text(QAccessible::Description), said[row]) << row << "," << column;
            else
                ADD_FAILURE() << "no cell at " << row << "," << column;
}

TEST_F(ResultsTest, SavingUnderEitherRuleCopiesTheGoodRowsAndReportsTheFailedOne)
{
    form2().Text1->setText(outDir());
    form2().PushButton6_Click();
    expectOneReportThenDone("PushButton6_Click");
    EXPECT_EQ(filesIn(outDir()), QStringList({"photo-reduced.pcx", "scan.01-reduced.pcx"}));
    EXPECT_EQ(readFile(outDir() + "/photo-reduced.pcx"), "reduced photo");
    EXPECT_EQ(readFile(outDir() + "/scan.01-reduced.pcx"), "reduced scan");

    // The other rule into the same folder adds the own names; the first copies stay.
    prompts.messages.clear();
    form2().Option4->setChecked(true);
    form2().PushButton6_Click();
    expectOneReportThenDone("PushButton6_Click");
    EXPECT_EQ(filesIn(outDir()), QStringList({"photo-reduced.pcx", "photo.pcx", "scan.01-reduced.pcx",
                                              "scan.01.pcx"}));
    EXPECT_EQ(readFile(outDir() + "/scan.01.pcx"), "reduced scan");

    // Saving changes nothing in the window, the lists or the work folder.
    EXPECT_TRUE(form2().isVisible());
    EXPECT_EQ(form2().ListView1->rowCount(), 3);
    EXPECT_EQ(form2().ListView1->rowText(2), "scan.01.pcx");
    EXPECT_EQ(form2().ListView1->subItem(2, 1), "3 KB");
    EXPECT_EQ(form2().ListView1->subItem(2, 2), "2 KB");
    EXPECT_EQ(Forms::form1().ListView1->rowTexts(), inputs);
    EXPECT_TRUE(QFile::exists(work[0]) && QFile::exists(work[2]));
}

TEST_F(ResultsTest, ChoicesChangedDuringASaveApplyOnlyToTheNextSave)
{
    QTemporaryDir other;
    form2().Text1->setText(outDir());
    // While the save lets events run, the other rule and another folder are picked.
    QTimer::singleShot(0, &form2(), [&] {
        form2().Option4->click();
        form2().Text1->setText(other.path());
    });
    form2().PushButton6_Click();
    expectOneReportThenDone("PushButton6_Click");
    EXPECT_EQ(filesIn(outDir()), QStringList({"photo-reduced.pcx", "scan.01-reduced.pcx"}));
    EXPECT_TRUE(filesIn(other.path()).isEmpty());

    prompts.messages.clear();
    form2().PushButton6_Click();
    expectOneReportThenDone("PushButton6_Click");
    EXPECT_EQ(filesIn(other.path()), QStringList({"photo.pcx", "scan.01.pcx"}));
}

TEST_F(ResultsTest, WhatTheMainListHoldsNowNeverChangesWhatIsSavedUnderWhichName)
{
    // The main list emptied and refilled in another order after the run.
    ListView* mainList = Forms::form1().ListView1;
    mainList->clearRows();
    mainList->addRow(inputs[2]);
    mainList->addRow(m_inputs.filePath("other.pcx"));
    form2().Text1->setText(outDir());
    form2().PushButton6_Click();
    EXPECT_EQ(filesIn(outDir()), QStringList({"photo-reduced.pcx", "scan.01-reduced.pcx"}));
    EXPECT_EQ(readFile(outDir() + "/photo-reduced.pcx"), "reduced photo");
    EXPECT_EQ(readFile(outDir() + "/scan.01-reduced.pcx"), "reduced scan");
}

TEST_F(ResultsTest, SavingUnderOwnNamesIntoTheInputFolderReplacesTheInputs)
{
    form2().Option4->setChecked(true);
    form2().Text1->setText(m_inputs.path());
    form2().PushButton6_Click();
    expectOneReportThenDone("PushButton6_Click");
    EXPECT_EQ(readFile(inputs[0]), "reduced photo");
    EXPECT_EQ(readFile(inputs[1]), "input PIC.PCX");  // its conversion failed: left alone
    EXPECT_EQ(readFile(inputs[2]), "reduced scan");
    EXPECT_EQ(filesIn(m_inputs.path()).size(), 3);
}

TEST_F(ResultsTest, TypedAndBrowsedFolderTextsSaveToTheSameFilesSilently)
{
    form2().Text1->setText(outDir());
    form2().PushButton6_Click();
    writeFile(work[0], "reduced photo, second run");
    prompts.folders = {outDir()};
    form2().PushButton7_Click();
    ASSERT_EQ(form2().Text1->text(), outDir() + "/");
    form2().PushButton6_Click();

    EXPECT_EQ(filesIn(outDir()), QStringList({"photo-reduced.pcx", "scan.01-reduced.pcx"}));
    EXPECT_EQ(readFile(outDir() + "/photo-reduced.pcx"), "reduced photo, second run");
    // Two saves: one failed row and "Done." each, no question about overwriting.
    EXPECT_EQ(prompts.messages.size(), 4u);
}

TEST_F(ResultsTest, SavingIntoAMissingFolderOnlySaysSo)
{
    for (const QString& folder : {outDir() + "/missing", QString(), work[0]}) {
        prompts.messages.clear();
        form2().Text1->setText(folder);
        form2().PushButton6_Click();
        ASSERT_EQ(prompts.messages.size(), 1u);
        EXPECT_EQ(prompts.messages[0].text, "Folder does not exist. Please select another folder.");
        EXPECT_EQ(prompts.messages[0].caption, QString());
        EXPECT_EQ(prompts.messages[0].buttons, Prompts::Buttons::Ok);
    }
    EXPECT_TRUE(filesIn(outDir()).isEmpty());
    EXPECT_EQ(filesIn(m_work.path()).size(), 2);
}

TEST_F(ResultsTest, AFolderThatCannotBeWrittenIsNamedOnceAndNothingElseIsShown)
{
    const QString folder = outDir() + "/locked";
    ASSERT_TRUE(QDir().mkdir(folder));
    const QByteArray native = QFile::encodeName(folder);
    // Root may write any folder, but not into a read-only file system.
    int error = EACCES;
    if (::geteuid() == 0) {
        if (::mount("tmpfs", native.constData(), "tmpfs", MS_RDONLY, "size=64k") != 0)
            GTEST_SKIP() << "root cannot mount a file system here";
        error = EROFS;
    } else {
        ASSERT_EQ(::chmod(native.constData(), 0500), 0);
    }
    const auto restore = qScopeGuard([&] {
        if (::geteuid() == 0)
            ::umount2(native.constData(), MNT_DETACH);
        ::chmod(native.constData(), 0700);
    });
    form2().Text1->setText(folder);
    form2().PushButton6_Click();
    ASSERT_EQ(prompts.messages.size(), 1u) << prompts.messageTexts().join("|").toStdString();
    EXPECT_EQ(prompts.messages[0].text, QStringLiteral("The folder %1 cannot be written (%2), so nothing was saved.")
                                            .arg(folder, QString::fromLocal8Bit(std::strerror(error))));
    EXPECT_EQ(prompts.messages[0].icon, Prompts::Icon::Warning);
    EXPECT_TRUE(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).isEmpty());
}

TEST_F(ResultsTest, ASaveThatWritesNoFileEndsSayingSo)
{
    // The good rows' copies have gone since the run: each row is reported, and the end says
    // that nothing was saved rather than "Done.".
    ASSERT_TRUE(QFile::remove(work[0]) && QFile::remove(work[2]));
    form2().Text1->setText(outDir());
    form2().PushButton6_Click();
    ASSERT_EQ(prompts.messages.size(), 4u) << prompts.messageTexts().join("|").toStdString();
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(prompts.messages[i].caption, "Application Error");
        EXPECT_TRUE(prompts.messages[i].text.startsWith(inputs[i] + " was not saved: "));
    }
    EXPECT_EQ(prompts.messages[3].text, "No file was saved.");
    EXPECT_EQ(prompts.messages[3].icon, Prompts::Icon::None);
    EXPECT_TRUE(filesIn(outDir()).isEmpty());
}

TEST_F(ResultsTest, BackDeletesTheWorkCopiesAndShowsTheUnchangedMainWindow)
{
    form2().Text1->setText(outDir());
    form2().PushButton6_Click();
    ASSERT_TRUE(QFile::setPermissions(work[2], QFileDevice::ReadOwner));
    prompts.messages.clear();

    form2().PushButton8_Click();

    EXPECT_TRUE(prompts.messages.empty());  // the missing copy of the failed row is no error
    EXPECT_TRUE(filesIn(m_work.path()).isEmpty());
    EXPECT_EQ(filesIn(outDir()), QStringList({"photo-reduced.pcx", "scan.01-reduced.pcx"}));
    EXPECT_TRUE(Forms::form1().isVisible());
    EXPECT_FALSE(form2().isVisible());
    EXPECT_EQ(Forms::form1().ListView1->rowTexts(), inputs);
    // The hidden window keeps its rows, folder, naming choice and paths until the next run.
    EXPECT_EQ(form2().ListView1->rowCount(), 3);
    EXPECT_EQ(form2().ListView1->subItem(1, 2), "Fail to reduce");
    EXPECT_EQ(form2().Text1->text(), outDir());
    EXPECT_EQ(form2().mColFiles(), work);
    EXPECT_EQ(form2().mousePointer(), kPointerDefault);
}

TEST_F(ResultsTest, ClosingDeletesTheWorkCopiesAndEndsTheProgram)
{
    QTimer guard;  // ends a hung loop with a code the test rejects
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] { QApplication::exit(7); });
    guard.start(10000);
    QTimer::singleShot(0, &form2(), [this] { form2().close(); });

    EXPECT_EQ(QApplication::exec(), 0);
    EXPECT_TRUE(filesIn(m_work.path()).isEmpty());
    EXPECT_FALSE(form2().isVisible());
    EXPECT_TRUE(prompts.messages.empty());
}

TEST_F(ResultsTest, BackDuringASaveTakesEffectOnceTheSaveHasFinished)
{
    form2().Text1->setText(outDir());
    bool copiesThereDuringSave = false;
    QTimer::singleShot(0, &form2(), [&] {
        form2().PushButton8->click();
        copiesThereDuringSave = QFile::exists(work[0]) && QFile::exists(work[2]);
    });
    form2().PushButton6_Click();
    EXPECT_TRUE(copiesThereDuringSave);
    EXPECT_EQ(filesIn(outDir()), QStringList({"photo-reduced.pcx", "scan.01-reduced.pcx"}));
    expectOneReportThenDone("PushButton6_Click");
    EXPECT_TRUE(filesIn(m_work.path()).isEmpty());
    EXPECT_FALSE(form2().isVisible());
    EXPECT_TRUE(Forms::form1().isVisible());
    EXPECT_FALSE(form2().isBusy());
}

TEST_F(ResultsTest, TheMainWindowsCloseEndsTheProgramOnlyOnceEveryCopyIsGone)
{
    // What is left in the work folder at each request to end: the process may end right there.
    std::vector<std::string> leftAtEnd;
    SetService(&Services::endProgram,
               [&](bool) { leftAtEnd.push_back(filesIn(m_work.path()).join(' ').toStdString()); });
    const auto restore = qScopeGuard([] { ResetService(&Services::endProgram); });
    const auto closeMainWindowSoon = [] {
        QTimer::singleShot(0, [] { Forms::form1().close(); });
    };
    const std::vector<std::pair<const char*, std::function<void()>>> moments = {
        {"results shown", [] { Forms::form1().close(); }},
        {"deleting for < Back", [&] { closeMainWindowSoon(); form2().PushButton8_Click(); }},
        {"deleting for its own close", [&] { closeMainWindowSoon(); form2().close(); }},
        {"saving", [&] {
             form2().Text1->setText(outDir());
             closeMainWindowSoon();
             form2().PushButton6_Click();
         }},
    };
    for (const auto& [moment, act] : moments) {
        SCOPED_TRACE(moment);
        SetUp();  // new windows, as a run leaves them
        leftAtEnd.clear();
        act();
        EXPECT_EQ(leftAtEnd, std::vector<std::string>{""});
        EXPECT_FALSE(form2().isVisible());
        EXPECT_FALSE(Forms::form1().isVisible());
    }
}

TEST_F(ResultsTest, ASecondBackDuringTheFirstLeavesNothingForTheNextRun)
{
    QTimer::singleShot(0, &form2(), [this] { form2().PushButton8->click(); });
    form2().PushButton8_Click();
    EXPECT_TRUE(filesIn(m_work.path()).isEmpty());
    EXPECT_TRUE(Forms::form1().isVisible());

    // The next run's results: saving keeps the window and its copies.
    writeFile(work[0], "reduced photo");
    writeFile(work[2], "reduced scan");
    form2().show();
    Forms::form1().hide();
    form2().Text1->setText(outDir());
    form2().PushButton6_Click();
    EXPECT_TRUE(form2().isVisible());
    EXPECT_FALSE(Forms::form1().isVisible());
    EXPECT_EQ(filesIn(m_work.path()).size(), 2);
}

TEST_F(ResultsTest, SignalsAndTheSessionsEndCloseTheWindowAsTheUserWould)
{
    InstallSessionEndHandlers(CloseForSessionEnd);
    const auto restore = qScopeGuard([] { RemoveSessionEndHandlers(); });
    for (const int sig : {SIGTERM, SIGHUP, SIGINT, 0}) {
        SCOPED_TRACE(sig);
        writeFile(work[0], "reduced photo");
        writeFile(work[2], "reduced scan");
        form2().show();
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, [] { QApplication::exit(7); });
        guard.start(10000);
        // 0: the desktop session ends; its manager then asks the program to quit.
        QTimer::singleShot(0, [sig] {
            QEvent quit(QEvent::Quit);
            sig ? (void)::raise(sig) : (void)QCoreApplication::sendEvent(qApp, &quit);
        });
        EXPECT_EQ(QApplication::exec(), 0);
        EXPECT_TRUE(filesIn(m_work.path()).isEmpty());
        EXPECT_FALSE(form2().isVisible());
        if (sig) {
            // A second signal of a kind ends the program the default way; arm it again.
            RemoveSessionEndHandlers();
            InstallSessionEndHandlers(CloseForSessionEnd);
        }
    }
    EXPECT_TRUE(prompts.messages.empty());
}

TEST_F(ResultsTest, TheSessionsRequestToSaveItsDataChangesNothing)
{
    // A logout that may still be cancelled, or a mere checkpoint.
    InstallSessionEndHandlers(CloseForSessionEnd);
    const auto restore = qScopeGuard([] { RemoveSessionEndHandlers(); });
    auto* manager = qApp->findChild<QSessionManager*>();
    ASSERT_NE(manager, nullptr);
    emit qApp->commitDataRequest(*manager);
    emit qApp->saveStateRequest(*manager);
    QCoreApplication::processEvents();
    EXPECT_TRUE(form2().isVisible());
    EXPECT_EQ(filesIn(m_work.path()).size(), 2);
    EXPECT_FALSE(SessionEnding());
}

TEST_F(ResultsTest, CommandsDuringASaveWaitForItToFinish)
{
    // A click on "< Back" and a close request arrive while the save lets events run.
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] { QApplication::exit(7); });
    guard.start(10000);
    QTimer::singleShot(0, &form2(), [&] {
        form2().Text1->setText(outDir());
        QMetaObject::invokeMethod(form2().PushButton8, "click", Qt::QueuedConnection);
        QMetaObject::invokeMethod(&form2(), "close", Qt::QueuedConnection);
        form2().PushButton6_Click();
    });
    prompts.messages.clear();

    EXPECT_EQ(QApplication::exec(), 0);
    // Every good row was copied from intact work copies, "Done." came, then the close.
    EXPECT_EQ(filesIn(outDir()), QStringList({"photo-reduced.pcx", "scan.01-reduced.pcx"}));
    expectOneReportThenDone("PushButton6_Click");
    EXPECT_TRUE(filesIn(m_work.path()).isEmpty());
    EXPECT_FALSE(Forms::form1().isVisible());
}

// The results list's menu and the save that keeps each file's subfolders below the folder it
// was added from: the photo came from a folder added with its subfolders, the others alone.
class TreeResultsTest : public ResultsTest {
protected:
    void SetUp() override
    {
        ResultsTest::SetUp();
        ReductionRecords records = form2().records();
        records[0].inputPath = "/game/data/sprites/hero/photo.pcx";
        records[0].addedFrom = "/game/data/";
        form2().setRecords(records);
        form2().Text1->setText(outDir());
        form2().activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&form2()));
    }
    // Waits for the menu to open, gives where it opened and closes it again.
    QPoint opened()
    {
        EXPECT_TRUE(QTest::qWaitFor([this] { return form2().Menu1->isVisible(); }, 5000));
        const QPoint at = form2().Menu1->pos();
        form2().Menu1->hide();
        return at;
    }
    void expectTreeSaved()
    {
        EXPECT_EQ(filesIn(outDir()), QStringList{"scan.01-reduced.pcx"});
        EXPECT_EQ(filesIn(outDir() + "/sprites/hero"), QStringList{"photo-reduced.pcx"});
        EXPECT_EQ(readFile(outDir() + "/sprites/hero/photo-reduced.pcx"), "reduced photo");
    }
};

TEST_F(TreeResultsTest, TheMenuOpensByShiftF10AndHoldsBothSavesAndBackWithTheirKeys)
{
    // The list asks for its menu as the main window's does; the key is enough to show it is heard.
    Form2& f = form2();
    QWidget* rows = f.ListView1->viewport();
    f.ListView1->selectRow(1);
    QTest::keyClick(f.ListView1, Qt::Key_F10, Qt::ShiftModifier);
    EXPECT_EQ(opened(), rows->mapToGlobal(f.ListView1->visualItemRect(f.ListView1->topLevelItem(1)).bottomLeft()));

    const std::pair<QAction*, std::pair<const char*, const char*>> items[] = {
        {f.mnuSaveResults, {"Save Results", "Ctrl+S"}},
        {f.mnuSaveTree, {"Save Keeping Subfolders", "Ctrl+Shift+S"}},
        {nullptr, {"", ""}},
        {f.mnuBack, {"< Back", "Esc"}}};
    const QList<QAction*> actions = f.Menu1->actions();
    ASSERT_EQ(actions.size(), int(std::size(items)));
    QAccessibleInterface* menu = QAccessible::queryAccessibleInterface(f.Menu1);
    ASSERT_EQ(menu->childCount(), actions.size());
    for (int i = 0; i < actions.size(); ++i) {
        const auto& [action, text] = items[i];
        if (!action) {
            EXPECT_TRUE(actions[i]->isSeparator());
            continue;
        }
        EXPECT_EQ(actions[i], action) << text.first;
        EXPECT_EQ(menu->child(i)->text(QAccessible::Name), QString::fromLatin1(text.first));
        EXPECT_EQ(menu->child(i)->text(QAccessible::Accelerator), QString::fromLatin1(text.second));
        EXPECT_FALSE(action->statusTip().isEmpty()) << text.first;
    }

    // The keyboard alone: down to the second item and taken; then the window's own key.
    QTest::keyClick(f.ListView1, Qt::Key_F10, Qt::ShiftModifier);
    ASSERT_TRUE(QTest::qWaitFor([&f] { return f.Menu1->isVisible(); }, 5000));
    QTest::keyClick(f.Menu1, Qt::Key_Down);
    QTest::keyClick(f.Menu1, Qt::Key_Down);
    EXPECT_EQ(f.Menu1->activeAction(), f.mnuSaveTree);
    QTest::keyClick(f.Menu1, Qt::Key_Return);
    expectOneReportThenDone("mnuSaveTree_Click");
    expectTreeSaved();
    // "Save Results" from the menu flattens the tree, as the button does; "< Back" goes back.
    prompts.messages.clear();
    f.mnuSaveResults->trigger();
    expectOneReportThenDone("PushButton6_Click");
    EXPECT_EQ(filesIn(outDir()), (QStringList{"photo-reduced.pcx", "scan.01-reduced.pcx"}));
    f.mnuBack->trigger();
    EXPECT_FALSE(f.isVisible());
    EXPECT_TRUE(filesIn(m_work.path()).isEmpty());
}

TEST_F(TreeResultsTest, AMissingFolderOnlySaysSoAndAFolderOfTheTreeThatIsAFileRefusesItsRowOnly)
{
    // The window's own key, as from the menu.
    form2().Text1->setText(outDir() + "/missing");
    QTest::keyClick(&form2(), Qt::Key_S, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(prompts.messageTexts(), QStringList{Messages::kFolderDoesNotExist});
    EXPECT_FALSE(QFileInfo::exists(outDir() + "/missing"));

    prompts.messages.clear();
    form2().Text1->setText(outDir());
    writeFile(outDir() + "/sprites", "in the way");
    form2().mnuSaveTree->trigger();
    ASSERT_EQ(prompts.messages.size(), 3u) << prompts.messageTexts().join("|").toStdString();
    EXPECT_TRUE(prompts.messages[0].text.startsWith(QStringLiteral(
        "/game/data/sprites/hero/photo.pcx was not saved: %1/sprites is in the way").arg(outDir())));
    EXPECT_EQ(prompts.messages[2].text, "Done.");
    EXPECT_EQ(filesIn(outDir()), (QStringList{"scan.01-reduced.pcx", "sprites"}));
}

TEST_F(TreeResultsTest, BackAndCloseDuringATreeSaveWaitForItToFinish)
{
    bool copiesThereDuringSave = false;
    QTimer::singleShot(0, &form2(), [&] {
        form2().mnuBack->trigger();
        form2().close();
        copiesThereDuringSave = QFile::exists(work[0]) && QFile::exists(work[2]);
    });
    form2().mnuSaveTree->trigger();
    EXPECT_TRUE(copiesThereDuringSave);
    expectTreeSaved();
    expectOneReportThenDone("mnuSaveTree_Click");
    // The close came last and is what is carried out: the copies are gone, the program ends.
    EXPECT_TRUE(filesIn(m_work.path()).isEmpty());
    EXPECT_FALSE(form2().isVisible());
    EXPECT_FALSE(form2().isBusy());
}

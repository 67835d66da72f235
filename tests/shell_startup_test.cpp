#include "core/settings.h"
#include "results/form2.h"
#include "core/busy.h"
#include "core/messages.h"
#include "widgets/allwindows.h"
#include "widgets/qtprompts.h"
#include "shell_support.h"
#include "support/layout.h"

#include <QAccessible>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDialog>
#include <QScopeGuard>
#include <QTimer>
#include <QImage>
#include <QSet>
#include <QTest>

#include <csignal>

TEST_F(ShellTest, FirstStartFillsTheWindowAndStoresTheColourChoice)
{
    Form1& f = started();
    EXPECT_TRUE(prompts.messages.empty()) << prompts.messageTexts().join("\n").toStdString();
    EXPECT_EQ(f.windowTitle(), QStringLiteral("Palettrim"));
    EXPECT_FALSE(f.windowIcon().isNull());
    ASSERT_EQ(f.ListView1->columnCount(), 1);
    EXPECT_EQ(f.ListView1->headerItem()->text(0), QStringLiteral("PCX File(s)"));
    EXPECT_EQ(f.ListView1->columnWidth(0), px(7000));
    ASSERT_EQ(f.Combo1->count(), 7);
    EXPECT_EQ(f.Combo1->itemText(6), QStringLiteral("4 colors"));
    EXPECT_EQ(f.Combo1->currentText(), QStringLiteral("256 colors"));
    // The selection made at start-up counts as a click and is saved.
    EXPECT_EQ(Settings::stored(Settings::kCombo1).value_or("absent"), QStringLiteral("0"));
    EXPECT_FALSE(f.hasCustomPointer());
}

TEST_F(ShellTest, StoredChoiceIsRestoredAndAnExistingSnapshotKept)
{
    Settings::put(Settings::kCombo1, QStringLiteral("4"));
    Settings::put(Settings::kSnapshot, QStringLiteral("kept as it was"));
    Form1& f = started();
    EXPECT_EQ(f.Combo1->currentText(), QStringLiteral("16 colors"));
    EXPECT_EQ(Settings::get(Settings::kCombo1), QStringLiteral("4"));
    EXPECT_EQ(Settings::get(Settings::kSnapshot), QStringLiteral("kept as it was"));
    EXPECT_TRUE(prompts.messages.empty());
}

TEST_F(ShellTest, BrokenStoredChoiceIsReportedAndFallsBackTo256Colours)
{
    for (const char* stored : {"abc", "", "7", "-1", "99999", "4.5"}) {
        SCOPED_TRACE(stored);
        Forms::destroyAll();
        prompts.messages.clear();
        Settings::put(Settings::kCombo1, QString::fromLatin1(stored));
        Form1& f = started();
        ASSERT_EQ(prompts.messages.size(), 1u);
        EXPECT_TRUE(prompts.messages[0].text.contains(
            QStringLiteral("in Colorpare2021/08/31.Form1.Form_Load at line ")));
        EXPECT_EQ(f.Combo1->currentText(), QStringLiteral("256 colors"));
        EXPECT_EQ(Settings::get(Settings::kCombo1), QStringLiteral("0"));
    }
}

TEST_F(ShellTest, HandPointerComesFromTheProgramFolderWithItsHotSpot)
{
    shipHandPointer();
    Form1& f = started();
    EXPECT_TRUE(prompts.messages.empty());
    moveMouseOver(f.PushButton1);
    EXPECT_EQ(f.cursor().shape(), Qt::BitmapCursor);
    EXPECT_EQ(f.cursor().hotSpot(), QPoint(11, 1));  // the finger tip
    EXPECT_EQ(FormBase::loadCursorFile(QStringLiteral(":/drag.ico")).pixmap().size(), QSize(32, 32));

    // An unreadable file is reported; start-up goes on without a custom pointer.
    Forms::destroyAll();
    QFile::remove(programFile("HAND-M.CUR"));
    writeProgramFile(QStringLiteral("HAND-M.CUR"), QByteArray("not a cursor at all"));
    Form1& g = started();
    ASSERT_EQ(prompts.messages.size(), 1u);
    EXPECT_TRUE(prompts.messages[0].text.startsWith(
        QStringLiteral("Invalid picture\nin Colorpare2021/08/31.Form1.Form_Load ")));
    EXPECT_FALSE(g.hasCustomPointer());
    EXPECT_EQ(g.Combo1->count(), 7);
    moveMouseOver(g.PushButton1);
    EXPECT_EQ(g.cursor().shape(), Qt::ArrowCursor);
}

TEST_F(ShellTest, OneDrawInAHundredOpensTheWebSite)
{
    EXPECT_EQ(StartupDrawNumber(0.0), 1);
    EXPECT_EQ(StartupDrawNumber(0.0699), 7);
    EXPECT_EQ(StartupDrawNumber(0.07), 8);
    EXPECT_EQ(StartupDrawNumber(0.99999999), 100);
    setStartupDraw(0.065);
    started();
    EXPECT_EQ(prompts.openedUrls, QStringList{Globals::kWebAddress});

    // A browser that cannot be started is reported and start-up goes on.
    struct NoBrowser : ScriptedPrompts {
        bool openUrl(const QString&) override { return false; }
    } noBrowser;
    Forms::destroyAll();
    Form1& f = started();
    ASSERT_EQ(noBrowser.messages.size(), 1u);
    EXPECT_TRUE(noBrowser.messages[0].text.contains(QStringLiteral("Form1.Form_Load")));
    EXPECT_EQ(f.Combo1->currentIndex(), 0);
}

TEST_F(ShellTest, ASignalWhileStartUpShowsAPromptEndsTheProgram)
{
    // The web site cannot be opened, and the report waits in a real dialog for an answer that
    // never comes: a desktop without a browser, stopped by its session manager.
    struct WaitingReport : ScriptedPrompts {
        Answer messageBox(const QString& text, const QString& caption, Buttons buttons,
                          Icon icon) override
        {
            messages.push_back({text, caption, buttons, icon});
            return qtPrompts().messageBox(text, caption, buttons, icon);
        }
        bool openUrl(const QString&) override { return false; }
    } waiting;
    setStartupDraw(0.065);
    InstallSessionEndHandlers(CloseForSessionEnd);
    const auto restore = qScopeGuard([] { RemoveSessionEndHandlers(); });
    bool stuck = false;
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [&stuck] {
        stuck = true;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* d = qobject_cast<QDialog*>(w); d && d->isVisible())
                d->reject();
    });
    guard.start(10000);
    QTimer::singleShot(50, [] { ::raise(SIGTERM); });

    Forms::form1().Form_Load();
    EXPECT_FALSE(stuck) << "the report was still waiting for an answer";
    EXPECT_TRUE(SessionEnding());
    ASSERT_EQ(waiting.messages.size(), 1u);
    EXPECT_TRUE(waiting.messages[0].text.startsWith(QStringLiteral("Cannot open ")));
    // From now on nobody answers: a question comes back as a cancel, without a dialog.
    EXPECT_EQ(qtPrompts().messageBox(Messages::kOpenSamplesFolder, QString(),
                                     Prompts::Buttons::YesNo, Prompts::Icon::None),
              Prompts::Answer::No);
    EXPECT_TRUE(qtPrompts().browseForFolder(nullptr, QStringLiteral("Please select folder:"),
                                            QString()).isEmpty());
    EXPECT_FALSE(stuck) << "a prompt was shown after the signal";
    EXPECT_FALSE(Forms::form1().isVisible());
}

TEST_F(ShellTest, HelpShowsItsOneMessage)
{
    started().PushButton5->click();
    ASSERT_EQ(prompts.messages.size(), 1u);
    EXPECT_EQ(prompts.messages[0].text,
              QStringLiteral("Results may vary, most PCX files will reduce but not all."));
    EXPECT_TRUE(prompts.messages[0].caption.isEmpty());  // the application title
    EXPECT_EQ(prompts.messages[0].icon, Prompts::Icon::None);
}

TEST_F(ShellTest, ClosingTheMainWindowEndsTheProgramAlsoWhileResultsExist)
{
    Form1& f = started();
    Form2& results = Forms::form2();
    results.show();
    f.show();
    QCloseEvent close;
    QCoreApplication::sendEvent(&f, &close);
    EXPECT_FALSE(f.isVisible());
    EXPECT_FALSE(results.isVisible());
    EXPECT_EQ(endRequests, std::vector<bool>{false});

    // Closed during a long operation, the process must not carry on with it unseen.
    f.show();
    BusyOperation busy;
    QCloseEvent busyClose;
    QCoreApplication::sendEvent(&f, &busyClose);
    EXPECT_EQ(endRequests, (std::vector<bool>{false, true}));
}

TEST_F(ShellTest, ScreenshotMatchesTheDesignedLayout)
{
    Form1& f = started();
    const QImage shot = f.grab().toImage();
    shot.save(QStringLiteral(TEST_OUTPUT_DIR "/form1.png"));
    EXPECT_EQ(shot.size() / shot.devicePixelRatio(), px(8040, 6180));
    EXPECT_EQ(shot.pixelColor(QPoint(3, 3) * shot.devicePixelRatio()), QColor(Qt::white));
    expectDesignedLayout(f, {
                                {f.ListView1, {120, 630, 7800, 2535}},
                                {f.ProgressBar1, {120, 5650, 7800, 405}},
                                {f.Frame1, {120, 4215, 7800, 800}},
                                {f.Combo1, {240, 300, 7335, 345}},
                                {f.PushButton1, {120, 3250, 3840, 405}},
                                {f.PushButton3, {4080, 3250, 3840, 405}},
                                {f.PushButton2, {120, 5130, 7800, 405}},
                                {f.PushButton5, {120, 120, 7800, 405}},
                                {f.PushButton4, {4080, 3760, 3840, 405}},
                                {f.PushButton6, {120, 3760, 3840, 405}},
                            });
}

TEST_F(ShellTest, BothTablesKeepEveryEdgeOfTheirFrameAtOneAndAHalfTimesTheSize)
{
    // Drawn as a desktop scaled to 150% draws them: the rows and the header must not cover an
    // edge of the frame.
    Form1& f = started();
    for (ListView* list : {f.ListView1, Forms::form2().ListView1}) {
        SCOPED_TRACE(list->window()->objectName().toStdString());
        list->addRow(QStringLiteral("row"));
        QImage shot(list->size() * 1.5, QImage::Format_ARGB32);
        shot.setDevicePixelRatio(1.5);
        shot.fill(Qt::red);
        list->render(&shot);
        const int w = shot.width(), h = shot.height();
        const QColor frame = shot.pixelColor(0, h / 2);
        const auto near = [&](int x, int y, int dx, int dy) {
            return shot.pixelColor(x, y) == frame || shot.pixelColor(x + dx, y + dy) == frame;
        };
        EXPECT_TRUE(near(w - 1, h / 2, -1, 0)) << "right, in the rows";
        EXPECT_TRUE(near(w - 1, 10, -1, 0)) << "right, beside the header";
        EXPECT_TRUE(near(w / 2, h - 1, 0, -1)) << "bottom";
        EXPECT_TRUE(near(w / 2, 0, 0, 1)) << "top";
    }
}

TEST_F(ShellTest, ScreenReadersHearWhatEachPartIsForAndEveryButtonSaysWhatItDoes)
{
    Form1& f = started();
    Form2& g = Forms::form2();
    const auto heard = [](QWidget* w) {
        return QAccessible::queryAccessibleInterface(w)->text(QAccessible::Name);
    };
    EXPECT_EQ(heard(f.ListView1), "PCX files to reduce");
    EXPECT_EQ(heard(f.ProgressBar1), "Progress");
    EXPECT_EQ(heard(g.ListView1), "Results");
    // Where a drop-down is heard by its choice (Linux), its frame names it.
    EXPECT_EQ(f.Combo1->accessibleName(), "Colors");
    const auto labels = QAccessible::queryAccessibleInterface(f.Combo1)->relations(QAccessible::Label);
    ASSERT_EQ(labels.size(), 1);
    EXPECT_EQ(labels.front().first->text(QAccessible::Name), "Colors");

    QSet<QString> tips;
    for (const QWidget* w : {static_cast<QWidget*>(&f), static_cast<QWidget*>(&g)})
        for (const PushButton* b : w->findChildren<PushButton*>()) {
            EXPECT_FALSE(b->toolTip().isEmpty()) << b->objectName().toStdString();
            tips << b->toolTip();
        }
    EXPECT_EQ(tips.size(), 9);
}

TEST_F(ShellTest, KeysRunTheirButtonsHandlersInTheirOwnWindowAndTheTipsNameThem)
{
    Form1& f = started();
    f.show();
    f.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&f));
    QTest::keyClick(&f, Qt::Key_F1);
    QTest::keyClick(&f, Qt::Key_O, Qt::ControlModifier);
    QTest::keyClick(&f, Qt::Key_Return, Qt::ControlModifier);
    QTest::keyClick(&f, Qt::Key_Enter, Qt::ControlModifier | Qt::KeypadModifier);
    QTest::keyClick(&f, Qt::Key_S, Qt::ControlModifier);  // the results window's key
    EXPECT_EQ(prompts.messageTexts(), (QStringList{Messages::kHelp, Messages::kNoFilesAdded,
                                                   Messages::kNoFilesAdded}));
    EXPECT_EQ(prompts.fileRequests.size(), 1u);
    EXPECT_TRUE(f.PushButton5->toolTip().contains("(F1)"));
    EXPECT_TRUE(f.PushButton1->toolTip().contains("(Ctrl+O)"));
    EXPECT_TRUE(f.PushButton2->toolTip().contains("(Ctrl+Enter)"));

    prompts.messages.clear();
    Form2& g = Forms::form2();
    g.Text1->clear();
    g.show();
    g.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&g));
    QTest::keyClick(&g, Qt::Key_S, Qt::ControlModifier);
    QTest::keyClick(&g, Qt::Key_F1);  // the main window's key
    EXPECT_EQ(prompts.messageTexts(), QStringList{Messages::kFolderDoesNotExist});
    EXPECT_TRUE(g.PushButton6->toolTip().contains("(Ctrl+S)"));
}

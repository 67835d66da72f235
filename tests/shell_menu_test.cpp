// The file list's context menu: how it opens, what it holds, the keyboard alone, and the
// choices it keeps.
#include "core/busy.h"
#include "core/settings.h"
#include "results/form2.h"
#include "widgets/allwindows.h"
#include "shell_support.h"

#include <QAccessible>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QTest>

namespace {

class MenuTest : public ShellTest {
protected:
    Form1& shown()
    {
        Form1& f = started();
        for (const char* r : {"/p/a.pcx", "/p/b.pcx", "/p/c.pcx"})
            f.ListView1->addRow(QString::fromLatin1(r));
        f.show();
        f.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&f));
        return f;
    }
    // Waits for the menu to open, gives where it opened and closes it again.
    static QPoint opened(Form1& f)
    {
        EXPECT_TRUE(QTest::qWaitFor([&f] { return f.Menu1->isVisible(); }, 5000));
        const QPoint at = f.Menu1->pos();
        f.Menu1->hide();
        return at;
    }
};

}  // namespace

TEST_F(MenuTest, ItOpensByMouseMenuKeyAndShiftF10AndEveryItemHasItsNameAndKeys)
{
    Form1& f = shown();
    QWidget* rows = f.ListView1->viewport();
    // Near the left, so the menu fits on the screen where it is asked for.
    const QPoint second = f.ListView1->visualItemRect(f.ListView1->topLevelItem(1)).topLeft() + QPoint(10, 5);
    QContextMenuEvent click(QContextMenuEvent::Mouse, second, rows->mapToGlobal(second));
    QCoreApplication::sendEvent(rows, &click);
    EXPECT_EQ(opened(f), rows->mapToGlobal(second));

    // From the keyboard it opens below the current row.
    f.ListView1->selectRow(2);
    const QPoint below = rows->mapToGlobal(f.ListView1->visualItemRect(f.ListView1->topLevelItem(2)).bottomLeft());
    QContextMenuEvent menuKey(QContextMenuEvent::Keyboard, QPoint(5, 5), f.ListView1->mapToGlobal(QPoint(5, 5)));
    QCoreApplication::sendEvent(f.ListView1, &menuKey);
    EXPECT_EQ(opened(f), below);
    QTest::keyClick(f.ListView1, Qt::Key_F10, Qt::ShiftModifier);
    EXPECT_EQ(opened(f), below);
    EXPECT_EQ(f.ListView1->rowCount(), 3);

    struct Item {
        QAction* action;
        const char* name;
        const char* keys;
    };
    const Item items[] = {
        {f.mnuAddFiles, "Add PCX File(s)…", "Ctrl+O"},
        {f.mnuAddFolder, "Add All PCX File(s) In Folder…", ""},
        {f.mnuRemove, "Remove", "Del"},
        {f.mnuClearList, "Clear List", ""},
        {nullptr, "", ""},
        {f.mnuOnePalette, "Start Reducing with One Palette for All", "Ctrl+Shift+Return"},
        {f.mnuPaletteOfFile, "Start Reducing to the Palette of a File…", "Ctrl+Shift+P"},
        {f.mnuKeyColour, "Key Colour…", ""},
        {nullptr, "", ""},
        {f.mnuNoDither, "No Dither", ""},
        {f.mnuDither, "Smooth Gradients (Dither)", ""},
        {f.mnuPatternDither, "Steady Pattern (Dither for Animation)", ""},
    };
    const QList<QAction*> actions = f.Menu1->actions();
    ASSERT_EQ(actions.size(), int(std::size(items)));
    QAccessibleInterface* menu = QAccessible::queryAccessibleInterface(f.Menu1);
    ASSERT_NE(menu, nullptr);
    ASSERT_EQ(menu->childCount(), actions.size());
    for (int i = 0; i < actions.size(); ++i) {
        const Item& item = items[i];
        if (!item.action) {
            EXPECT_TRUE(actions[i]->isSeparator());
            continue;
        }
        EXPECT_EQ(actions[i], item.action) << item.name;
        EXPECT_EQ(menu->child(i)->text(QAccessible::Name), QString::fromUtf8(item.name));
        EXPECT_EQ(menu->child(i)->text(QAccessible::Accelerator), QString::fromLatin1(item.keys)) << item.name;
        EXPECT_FALSE(item.action->statusTip().isEmpty()) << item.name;
    }
    // The dithers are one choice: a screen reader hears which of them is checked.
    for (int i : {9, 10, 11}) {
        EXPECT_TRUE(menu->child(i)->state().checkable) << i;
        EXPECT_EQ(menu->child(i)->state().checked, i == 9) << i;
    }
    EXPECT_TRUE(f.mnuOnePalette->statusTip().contains(QStringLiteral("larger")));
    EXPECT_TRUE(f.mnuPaletteOfFile->statusTip().contains(QStringLiteral("larger")));
}

TEST_F(MenuTest, TheKeyboardAloneChoosesItsItemsAndItsListCommandsWaitAsTheButtonsDo)
{
    Form1& f = shown();
    f.ListView1->selectRow(1);
    QTest::keyClick(f.ListView1, Qt::Key_F10, Qt::ShiftModifier);
    ASSERT_TRUE(QTest::qWaitFor([&f] { return f.Menu1->isVisible(); }, 5000));
    // Down to "Remove", the third item.
    for (int i = 0; i < 3; ++i)
        QTest::keyClick(f.Menu1, Qt::Key_Down);
    EXPECT_EQ(f.Menu1->activeAction(), f.mnuRemove);
    QTest::keyClick(f.Menu1, Qt::Key_Return);
    EXPECT_FALSE(f.Menu1->isVisible());
    EXPECT_EQ(f.ListView1->rowTexts(), (QStringList{"/p/a.pcx", "/p/c.pcx"}));

    // Up from the top goes round to the last item, the steady pattern.
    QTest::keyClick(f.ListView1, Qt::Key_F10, Qt::ShiftModifier);
    ASSERT_TRUE(QTest::qWaitFor([&f] { return f.Menu1->isVisible(); }, 5000));
    QTest::keyClick(f.Menu1, Qt::Key_Up);
    EXPECT_EQ(f.Menu1->activeAction(), f.mnuPatternDither);
    QTest::keyClick(f.Menu1, Qt::Key_Return);
    EXPECT_TRUE(f.mnuPatternDither->isChecked());
    EXPECT_FALSE(f.mnuNoDither->isChecked());
    EXPECT_EQ(Settings::get(Settings::kDither), QStringLiteral("pattern"));

    f.ListView1->selectRow(0);
    {
        const BusyOperation scanning;
        f.mnuRemove->trigger();
        f.mnuClearList->trigger();
        EXPECT_EQ(f.ListView1->rowCount(), 2);
    }
    f.mnuClearList->trigger();
    EXPECT_EQ(f.ListView1->rowCount(), 0);
    f.mnuAddFiles->trigger();
    EXPECT_EQ(prompts.fileRequests.size(), 1u);
}

TEST_F(MenuTest, DitherAndTheKeyColourAreKeptAndComeBackAtTheNextStart)
{
    Form1& f = started();
    const auto chosen = [](Form1& w) {
        QStringList on;
        for (QAction* a : {w.mnuNoDither, w.mnuDither, w.mnuPatternDither})
            if (a->isChecked())
                on << a->text();
        return on;
    };
    EXPECT_EQ(chosen(f), QStringList{"No Dither"});
    EXPECT_TRUE(f.mnuKeyColour->icon().isNull());
    // One of the three, kept as its word; choosing the chosen one again keeps it.
    const std::pair<QAction*, const char*> steps[] = {
        {f.mnuDither, "diffuse"}, {f.mnuDither, "diffuse"}, {f.mnuPatternDither, "pattern"},
        {f.mnuNoDither, "none"}, {f.mnuPatternDither, "pattern"}};
    for (const auto& [item, word] : steps) {
        item->trigger();
        EXPECT_EQ(chosen(f), QStringList{item->text()}) << word;
        EXPECT_EQ(Settings::get(Settings::kDither), QLatin1String(word));
    }

    // The dialog opens at the colour kept; a cancel keeps it, "None" takes it away.
    prompts.colours = {{true, QStringLiteral("ff00ff")}, {}, {true, QString()}, {true, QStringLiteral("00a0ff")}};
    for (int i = 0; i < 2; ++i)
        f.mnuKeyColour->trigger();
    EXPECT_EQ(Settings::get(Settings::kKeyColour), QStringLiteral("ff00ff"));
    EXPECT_FALSE(f.mnuKeyColour->icon().isNull());
    f.mnuKeyColour->trigger();
    EXPECT_EQ(Settings::get(Settings::kKeyColour), QString());
    EXPECT_TRUE(f.mnuKeyColour->icon().isNull());
    f.mnuKeyColour->trigger();
    EXPECT_EQ(prompts.colourStarts, (QStringList{"", "ff00ff", "ff00ff", ""}));

    Forms::destroyAll();
    Form1& again = started();
    EXPECT_EQ(chosen(again), QStringList{"Steady Pattern (Dither for Animation)"});
    EXPECT_EQ(again.mnuKeyColour->icon().pixmap(16, 16).toImage().pixelColor(8, 8), QColor(0x00, 0xa0, 0xff));
    // An earlier version's flag is read as the dither it meant; a word it does not know is none.
    const std::pair<const char*, const char*> kept[] = {
        {"1", "Smooth Gradients (Dither)"}, {"true", "Smooth Gradients (Dither)"}, {"0", "No Dither"},
        {"false", "No Dither"}, {"sometimes", "No Dither"}, {"diffuse", "Smooth Gradients (Dither)"}};
    for (const auto& [word, item] : kept) {
        Settings::put(Settings::kDither, QLatin1String(word));
        Forms::destroyAll();
        EXPECT_EQ(chosen(started()), QStringList{QString::fromUtf8(item)}) << word;
    }
    // A kept text that is no colour is none.
    Settings::put(Settings::kKeyColour, QStringLiteral("magenta"));
    EXPECT_EQ(Settings::colour(Settings::kKeyColour), QString());
    EXPECT_TRUE(prompts.messages.empty());
}

TEST_F(MenuTest, WithAScreenReadersBridgeTheDithersAndTheResultsMenuAreAnnouncedAsTheKeysReachThem)
{
    static QStringList announced;  // the names a screen reader reads as the keys move
    // In place of the bridge, for the time of the test.
    struct Handler {
        ~Handler() { QAccessible::installUpdateHandler(before); }
        QAccessible::UpdateHandler before = QAccessible::installUpdateHandler([](QAccessibleEvent* e) {
            if (e->type() == QAccessible::Focus && qobject_cast<QMenu*>(e->object()))
                if (QAccessibleInterface* item = e->accessibleInterface())
                    announced << item->text(QAccessible::Name);
        });
    };
    if (QGuiApplication::platformName() == QStringLiteral("offscreen"))
        GTEST_SKIP() << "no screen reader's bridge offscreen; ctest accessible_menus runs this with one";
    ASSERT_TRUE(QTest::qWaitFor([] { return QAccessible::isActive(); }));
    Form1& f = shown();
    announced.clear();
    const Handler handler;
    // Up from the top: the three dithers, last first.
    QTest::keyClick(f.ListView1, Qt::Key_F10, Qt::ShiftModifier);
    ASSERT_TRUE(QTest::qWaitFor([&f] { return f.Menu1->isVisible(); }, 5000));
    for (int i = 0; i < 3; ++i)
        QTest::keyClick(f.Menu1, Qt::Key_Up);
    EXPECT_TRUE(QTest::qWaitFor([] { return announced.size() >= 3; }));
    EXPECT_EQ(announced, (QStringList{"Steady Pattern (Dither for Animation)", "Smooth Gradients (Dither)", "No Dither"}));
    f.Menu1->hide();

    Form2& results = Forms::form2();
    results.setRecords({{QStringLiteral("/p/a.pcx"), QStringLiteral("/nowhere/tavrik1.pcx"), {}, {}, {}}});
    f.hide();
    results.show();
    results.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&results));
    announced.clear();
    QTest::keyClick(results.ListView1, Qt::Key_F10, Qt::ShiftModifier);
    ASSERT_TRUE(QTest::qWaitFor([&results] { return results.Menu1->isVisible(); }, 5000));
    for (int i = 0; i < 3; ++i)
        QTest::keyClick(results.Menu1, Qt::Key_Down);
    EXPECT_TRUE(QTest::qWaitFor([] { return announced.size() >= 3; }));
    EXPECT_EQ(announced, (QStringList{"Save Results", "Save Keeping Subfolders", "< Back"}));
    results.Menu1->hide();
}

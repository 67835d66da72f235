// The file list's context menu: how it opens, what it holds, the keyboard alone, and the
// choices it keeps.
#include "core/busy.h"
#include "core/settings.h"
#include "shell_support.h"

#include <QAccessible>
#include <QContextMenuEvent>
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
        {f.mnuDither, "Smooth Gradients (Dither)", ""},
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
    EXPECT_TRUE(f.mnuDither->isCheckable());
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

    // Up from the top goes round to the last item, the dither.
    QTest::keyClick(f.ListView1, Qt::Key_F10, Qt::ShiftModifier);
    ASSERT_TRUE(QTest::qWaitFor([&f] { return f.Menu1->isVisible(); }, 5000));
    QTest::keyClick(f.Menu1, Qt::Key_Up);
    EXPECT_EQ(f.Menu1->activeAction(), f.mnuDither);
    QTest::keyClick(f.Menu1, Qt::Key_Return);
    EXPECT_TRUE(f.mnuDither->isChecked());
    EXPECT_EQ(Settings::get(Settings::kDither), QStringLiteral("1"));

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
    EXPECT_FALSE(f.mnuDither->isChecked());
    EXPECT_TRUE(f.mnuKeyColour->icon().isNull());
    f.mnuDither->trigger();
    f.mnuDither->trigger();
    EXPECT_EQ(Settings::get(Settings::kDither), QStringLiteral("0"));
    f.mnuDither->trigger();
    EXPECT_EQ(Settings::get(Settings::kDither), QStringLiteral("1"));

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
    EXPECT_TRUE(again.mnuDither->isChecked());
    EXPECT_EQ(again.mnuKeyColour->icon().pixmap(16, 16).toImage().pixelColor(8, 8), QColor(0x00, 0xa0, 0xff));
    // A kept text that is no colour is none.
    Settings::put(Settings::kKeyColour, QStringLiteral("magenta"));
    EXPECT_EQ(Settings::colour(Settings::kKeyColour), QString());
    EXPECT_TRUE(prompts.messages.empty());
}

#include "core/settings.h"
#include "core/busy.h"
#include "shell_support.h"
#include "support/layout.h"

#include <QApplication>
#include <QCoreApplication>
#include <QHelpEvent>
#include <QToolTip>
#include <QEnterEvent>
#include <QKeyEvent>
#include <QMouseEvent>

namespace {

void sendKey(QWidget* w, int key)
{
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QCoreApplication::sendEvent(w, &press);
}

// Press, release and double-click at a point of the list, as a real double-click arrives.
void doubleClickAt(ListView* list, QPoint pos)
{
    QWidget* vp = list->viewport();
    for (QEvent::Type t : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease,
                           QEvent::MouseButtonDblClick, QEvent::MouseButtonRelease}) {
        QMouseEvent e(t, QPointF(pos), vp->mapToGlobal(QPointF(pos)), Qt::LeftButton,
                      t == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(vp, &e);
    }
}

void enter(QWidget* w) { enterWidget(w); }

}  // namespace

TEST_F(ShellTest, DeleteAndDoubleClickRemoveOneRowButNotWhileBusy)
{
    Form1& f = started();
    for (const char* r : {"/p/a.pcx", "/p/b.pcx", "/p/c.pcx", "/p/d.pcx"})
        f.ListView1->addRow(QString::fromLatin1(r));
    f.ListView1->selectRow(1);
    sendKey(f.ListView1, Qt::Key_Backspace);
    sendKey(f.ListView1, Qt::Key_Delete);
    EXPECT_EQ(f.ListView1->rowTexts(), QStringList({"/p/a.pcx", "/p/c.pcx", "/p/d.pcx"}));
    doubleClickAt(f.ListView1, f.ListView1->visualItemRect(f.ListView1->topLevelItem(1)).center());
    EXPECT_EQ(f.ListView1->rowTexts(), QStringList({"/p/a.pcx", "/p/d.pcx"}));
    f.ListView1->clearSelection();
    sendKey(f.ListView1, Qt::Key_Delete);
    EXPECT_EQ(f.ListView1->rowCount(), 2);

    f.ListView1->selectRow(0);
    {
        BusyOperation busy;
        sendKey(f.ListView1, Qt::Key_Delete);
        f.ListView1_DblClick();
        f.PushButton6->click();
        EXPECT_EQ(f.ListView1->rowCount(), 2);
    }
    f.PushButton6->click();
    EXPECT_EQ(f.ListView1->rowCount(), 0);
    // On an empty list every removal does nothing and says nothing.
    f.PushButton6->click();
    sendKey(f.ListView1, Qt::Key_Delete);
    f.ListView1_DblClick();
    EXPECT_TRUE(prompts.messages.empty());
}

TEST_F(ShellTest, ARowsTooltipShowsItsFullPathAboveTheListsOwn)
{
    Form1& f = started();
    f.ListView1->addRow("/photos/2019/<b>/a.pcx");
    f.ListView1->addRow("/photos/2020/a.pcx");
    QWidget* vp = f.ListView1->viewport();
    const auto tipAt = [vp](QPoint at) {
        QToolTip::hideText();
        QHelpEvent help(QEvent::ToolTip, at, vp->mapToGlobal(at));
        QApplication::sendEvent(vp, &help);
        return QToolTip::isVisible() ? QToolTip::text() : QString();
    };
    const QRect second = f.ListView1->visualItemRect(f.ListView1->topLevelItem(1));
    const QString hint = Messages::kFileListTip.toHtmlEscaped();
    EXPECT_EQ(tipAt(f.ListView1->visualItemRect(f.ListView1->topLevelItem(0)).center()),
              "<p><nobr>/photos/2019/&lt;b&gt;/a.pcx</nobr></p><p>" + hint + "</p>");
    EXPECT_EQ(tipAt(second.center()), "<p><nobr>/photos/2020/a.pcx</nobr></p><p>" + hint + "</p>");
    // Below the rows, the list's own.
    EXPECT_EQ(tipAt(second.center() + QPoint(0, 3 * second.height())), Messages::kFileListTip);
    QToolTip::hideText();
}

TEST_F(ShellTest, EveryColourChoiceIsSavedAndRestoredAtTheNextStart)
{
    Form1& f = started();
    f.Combo1->setCurrentIndex(6);
    EXPECT_EQ(Settings::get(Settings::kCombo1), QStringLiteral("6"));
    f.Combo1->setCurrentIndex(4);
    Forms::destroyAll();
    EXPECT_EQ(started().Combo1->currentText(), QStringLiteral("16 colors"));
}

TEST_F(ShellTest, HandOverButtonsArrowOverListAndFrameNeverOverBusy)
{
    shipHandPointer();
    Form1& f = started();
    enter(f.PushButton1);
    EXPECT_EQ(f.mousePointer(), kPointerCustom);
    EXPECT_EQ(f.cursor().shape(), Qt::BitmapCursor);
    enter(f.ListView1->viewport());
    EXPECT_EQ(f.mousePointer(), kPointerDefault);
    enter(f.PushButton6);
    enter(f.PushButton2);  // button to button keeps the hand
    EXPECT_EQ(f.mousePointer(), kPointerCustom);
    enter(f.Frame1);
    EXPECT_EQ(f.cursor().shape(), Qt::ArrowCursor);
    enter(f.PushButton5);
    QMouseEvent move(QEvent::MouseMove, QPointF(2, 2), f.mapToGlobal(QPointF(2, 2)), Qt::NoButton,
                     Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&f, &move);  // the window's background
    EXPECT_EQ(f.mousePointer(), kPointerDefault);

    // The list's own pointer (its drag pointer) survives the window's pointer changes.
    f.ListView1->setListPointer(QCursor(Qt::ClosedHandCursor));
    enter(f.PushButton4);
    EXPECT_EQ(f.ListView1->viewport()->cursor().shape(), Qt::ClosedHandCursor);
    f.ListView1->setListPointer(std::nullopt);

    BusyOperation busy;
    for (QWidget* w : {static_cast<QWidget*>(f.PushButton4), static_cast<QWidget*>(f.Frame1),
                       f.ListView1->viewport()}) {
        enter(w);
        EXPECT_EQ(f.cursor().shape(), Qt::WaitCursor);
    }
}

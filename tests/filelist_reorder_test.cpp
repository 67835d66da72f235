// Reordering rows by dragging them inside the list.
#include "app/form1.h"
#include "core/busy.h"
#include "support/layout.h"
#include "support/test_env.h"

#include <QApplication>
#include <QImage>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTemporaryDir>

class ReorderTest : public AppTest {
protected:
    void SetUp() override
    {
        AppTest::SetUp();
        ASSERT_TRUE(m_programFolder.isValid());
        SetService(&Services::programFolder, m_programFolder.path());
        list()->setHeaderLabels({QStringLiteral("PCX File(s)")});
        form().show();
        QApplication::processEvents();
    }

    Form1& form() { return Forms::form1(); }
    ListView* list() { return form().ListView1; }
    void fill(const QStringList& rows)
    {
        for (const QString& r : rows)
            list()->addRow(r);
    }
    void fillNumbered(int n)
    {
        for (int i = 0; i < n; ++i)
            list()->addRow(QStringLiteral("/p/%1.pcx").arg(i, 5, 10, QLatin1Char('0')));
    }
    QPoint rowPoint(int row) { return list()->visualItemRect(list()->topLevelItem(row)).center(); }

    void send(QEvent::Type type, QPoint pos, Qt::MouseButton button, Qt::MouseButtons buttons)
    {
        QWidget* vp = list()->viewport();
        QMouseEvent e(type, QPointF(pos), QPointF(vp->mapToGlobal(pos)), button, buttons,
                      Qt::NoModifier);
        QApplication::sendEvent(vp, &e);
    }
    void press(int row) { send(QEvent::MouseButtonPress, rowPoint(row), Qt::LeftButton, Qt::LeftButton); }
    void moveTo(int row) { send(QEvent::MouseMove, rowPoint(row), Qt::NoButton, Qt::LeftButton); }
    void hoverTo(int row) { send(QEvent::MouseMove, rowPoint(row), Qt::NoButton, Qt::NoButton); }
    void release(int row) { send(QEvent::MouseButtonRelease, rowPoint(row), Qt::LeftButton, Qt::NoButton); }

    // Moves the window so that the middle of row lands on screen row y.
    void placeRowAtScreenY(int row, int y)
    {
        const int now = list()->viewport()->mapToGlobal(rowPoint(row)).y();
        form().move(form().x(), form().y() + (y - now));
        QApplication::processEvents();
        ASSERT_EQ(list()->viewport()->mapToGlobal(rowPoint(row)).y(), y);
    }
    bool fullyVisible(int row)
    {
        return list()->viewport()->rect().contains(
            list()->visualItemRect(list()->topLevelItem(row)));
    }

    QTemporaryDir m_programFolder;
};

TEST_F(ReorderTest, DraggedPathTravelsWithThePointerAndEqualPathsStay)
{
    fill({"/a.pcx", "/b.pcx", "/c.pcx", "/d.pcx"});
    // The folder a row was added from travels with it.
    for (int i = 0; i < 4; ++i)
        list()->setRowTag(i, list()->rowText(i).toUpper());
    press(2);
    moveTo(1);
    moveTo(0);
    release(0);
    EXPECT_EQ(list()->rowTexts(), (QStringList{"/c.pcx", "/a.pcx", "/b.pcx", "/d.pcx"}));
    EXPECT_EQ(list()->rowTags(), (QStringList{"/C.PCX", "/A.PCX", "/B.PCX", "/D.PCX"}));
    EXPECT_EQ(list()->selectedRow(), 0);

    // A fast move trades only with the row under the pointer.
    press(0);
    moveTo(3);
    release(3);
    EXPECT_EQ(list()->rowTexts(), (QStringList{"/d.pcx", "/a.pcx", "/b.pcx", "/c.pcx"}));

    // Without a pressed button nothing moves, even after a row was clicked.
    hoverTo(1);
    hoverTo(2);
    EXPECT_EQ(list()->rowTexts(), (QStringList{"/d.pcx", "/a.pcx", "/b.pcx", "/c.pcx"}));

    list()->clearRows();
    fill({"/same.pcx", "/same.pcx", "/other.pcx"});
    press(0);
    moveTo(1);
    EXPECT_EQ(list()->rowTexts(), (QStringList{"/same.pcx", "/same.pcx", "/other.pcx"}));
    // The dragged path is still the first row's: it trades with the third.
    moveTo(2);
    release(2);
    EXPECT_EQ(list()->rowTexts(), (QStringList{"/other.pcx", "/same.pcx", "/same.pcx"}));
}

TEST_F(ReorderTest, RemovedDraggedRowEndsTheDrag)
{
    fill({"/a.pcx", "/b.pcx", "/c.pcx"});
    press(1);
    list()->removeRow(1);
    moveTo(0);
    release(0);
    EXPECT_EQ(list()->rowTexts(), (QStringList{"/a.pcx", "/c.pcx"}));
}

TEST_F(ReorderTest, PointerIsTheDragImageWhileDraggingAndTheWindowsAfter)
{
    fill({"/a.pcx", "/b.pcx"});
    press(0);
    EXPECT_EQ(list()->viewport()->cursor().shape(), Qt::ClosedHandCursor);  // no drag.ico here
    release(0);
    EXPECT_EQ(list()->viewport()->cursor().shape(), Qt::ArrowCursor);

    QImage icon(32, 32, QImage::Format_ARGB32);
    icon.fill(Qt::red);
    ASSERT_TRUE(icon.save(m_programFolder.path() + "/drag.ico", "ICO"));
    press(1);
    EXPECT_EQ(list()->viewport()->cursor().shape(), Qt::BitmapCursor);
    release(1);
    EXPECT_EQ(list()->viewport()->cursor().shape(), Qt::ArrowCursor);

    // A busy window keeps its busy pointer while the mouse crosses the list.
    {
        BusyOperation busy;
        hoverTo(0);
        EXPECT_EQ(form().mousePointer(), kPointerBusy);
        EXPECT_EQ(list()->viewport()->cursor().shape(), Qt::WaitCursor);
    }
    moveMouseOver(form().PushButton1);
    ASSERT_EQ(form().mousePointer(), kPointerCustom);
    hoverTo(1);
    EXPECT_EQ(form().mousePointer(), kPointerDefault);
}

TEST_F(ReorderTest, SwapsHighOrLowOnTheScreenScrollOneRow)
{
    fillNumbered(60);

    // High on the screen: the row above comes into view.
    list()->scrollToItem(list()->topLevelItem(20), QAbstractItemView::PositionAtTop);
    QApplication::processEvents();
    ASSERT_FALSE(fullyVisible(19));
    placeRowAtScreenY(20, 300);
    press(21);
    moveTo(20);
    release(20);
    EXPECT_TRUE(fullyVisible(19));
    EXPECT_EQ(list()->rowText(20), "/p/00021.pcx");

    // The middle band does not scroll.
    list()->scrollToItem(list()->topLevelItem(30), QAbstractItemView::PositionAtTop);
    QApplication::processEvents();
    placeRowAtScreenY(30, 340);
    const int before = list()->verticalScrollBar()->value();
    press(31);
    moveTo(30);
    release(30);
    EXPECT_EQ(list()->verticalScrollBar()->value(), before);

    // Low on the screen: the row below comes into view.
    list()->scrollToItem(list()->topLevelItem(40), QAbstractItemView::PositionAtBottom);
    QApplication::processEvents();
    ASSERT_FALSE(fullyVisible(41));
    placeRowAtScreenY(40, 365);
    press(39);
    moveTo(40);
    release(40);
    EXPECT_TRUE(fullyVisible(41));
}

TEST_F(ReorderTest, RowsStayPutWhileBusy)
{
    // A scan adds rows and a run reads them: a drag then must not move them.
    fill({"/a.pcx", "/b.pcx", "/c.pcx"});
    {
        BusyOperation busy;
        press(2);
        moveTo(0);
        release(0);
    }
    EXPECT_EQ(list()->rowTexts(), (QStringList{"/a.pcx", "/b.pcx", "/c.pcx"}));
}

TEST_F(ReorderTest, DragOntoThePartlyVisibleBottomRowTradesWithThatRowWithoutScrolling)
{
    fillNumbered(30);
    const QRect view = list()->viewport()->rect();
    int cut = -1;
    for (int r = 0; r < 30 && cut < 0; ++r) {
        const QRect rect = list()->visualItemRect(list()->topLevelItem(r));
        if (rect.intersects(view) && !view.contains(rect))
            cut = r;
    }
    ASSERT_GT(cut, 0) << "no row is cut by the list's bottom edge";
    // In the band where no swap scrolls.
    placeRowAtScreenY(cut - 1, 340);
    const int before = list()->verticalScrollBar()->value();
    const QPoint intoCutRow = list()->visualItemRect(list()->topLevelItem(cut)).topLeft() + QPoint(20, 2);
    ASSERT_TRUE(view.contains(intoCutRow));
    press(cut - 1);
    send(QEvent::MouseMove, intoCutRow, Qt::NoButton, Qt::LeftButton);
    send(QEvent::MouseButtonRelease, intoCutRow, Qt::LeftButton, Qt::NoButton);
    EXPECT_EQ(list()->rowText(cut), QStringLiteral("/p/%1.pcx").arg(cut - 1, 5, 10, QLatin1Char('0')));
    EXPECT_EQ(list()->rowText(cut - 1), QStringLiteral("/p/%1.pcx").arg(cut, 5, 10, QLatin1Char('0')));
    EXPECT_EQ(list()->verticalScrollBar()->value(), before);
}

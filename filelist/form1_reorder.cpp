#include "app/errorreport.h"
#include "app/form1.h"
#include "app/globals.h"

#include <QDir>

namespace {

// The list's pointer while a row is dragged: drag.ico beside the program, else a closed hand.
QCursor rowDragPointer()
{
    try {
        return FormBase::loadCursorFile(Globals::programFolder() + QDir::separator()
                                        + QStringLiteral("drag.ico"));
    } catch (const AppError&) {
        return QCursor(Qt::ClosedHandCursor);
    }
}

// Screen rows (pixels from the top of the screen) above and below which a swap scrolls.
constexpr int kScrollUpBelowY = 305;
constexpr int kScrollDownFromY = 365;

}  // namespace

void Form1::ListView1_MouseDown(Qt::MouseButton, QPoint pos)
{
    ErrorTrap trap("Form1", "ListView1_MouseDown");
    // A run reads the rows as it goes and saving pairs results with rows by position:
    // reordering while busy would save copies under other files' names.
    if (isBusy())
        return;
    m_rowDragging = true;
    // A press on a row is also the row click: the row becomes the dragged one.
    const QModelIndex clicked = ListView1->indexAt(pos);
    if (!clicked.isValid())
        return;
    STEP(trap, ListView1->setListPointer(rowDragPointer()));
    STEP(trap, m_draggedRow = QPersistentModelIndex(clicked.siblingAtColumn(0)));
}

void Form1::ListView1_MouseMove(Qt::MouseButtons, QPoint pos)
{
    ErrorTrap trap("Form1", "ListView1_MouseMove");
    STEP(trap, hoverBackground());
    if (!m_rowDragging)
        return;
    STEP(trap, {
        const QModelIndex under = ListView1->indexAt(pos);
        if (!under.isValid() || !m_draggedRow.isValid())
            return;
        const int from = m_draggedRow.row();
        const int to = under.row();
        const QString dragged = ListView1->rowText(from);
        const QString target = ListView1->rowText(to);
        // Equal paths are never traded, so two equal rows cannot chase each other.
        if (from == to || dragged == target)
            return;
        ListView1->setRowText(from, target);
        ListView1->setRowText(to, dragged);
        ListView1->selectRow(to);
        m_draggedRow = QPersistentModelIndex(under.siblingAtColumn(0));
        const int screenY = ListView1->viewport()->mapToGlobal(pos).y();
        if (screenY < kScrollUpBelowY) {
            if (to > 0)
                ListView1->scrollToItem(ListView1->topLevelItem(to - 1));
        } else if (screenY >= kScrollDownFromY && to + 1 < ListView1->rowCount()) {
            ListView1->scrollToItem(ListView1->topLevelItem(to + 1));
        }
    });
}

void Form1::ListView1_MouseUp(Qt::MouseButton, QPoint)
{
    ErrorTrap trap("Form1", "ListView1_MouseUp");
    m_rowDragging = false;
    // Back to the window's own pointer: the arrow, or the busy pointer while a scan runs.
    STEP(trap, ListView1->setListPointer(std::nullopt));
}

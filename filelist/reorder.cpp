#include "filelist/reorder.h"

#include "core/errorreport.h"
#include "core/globals.h"
#include "widgets/controls.h"

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

}  // namespace

void RowReorder::press(QPoint pos)
{
    m_dragging = true;
    const QModelIndex clicked = m_list->indexAt(pos);
    if (!clicked.isValid())
        return;
    m_list->setListPointer(rowDragPointer());
    m_draggedRow = QPersistentModelIndex(clicked.siblingAtColumn(0));
}

void RowReorder::move(QPoint pos)
{
    if (!m_dragging)
        return;
    const QModelIndex under = m_list->indexAt(pos);
    if (!under.isValid() || !m_draggedRow.isValid())
        return;
    const int from = m_draggedRow.row();
    const int to = under.row();
    const QString dragged = m_list->rowText(from);
    const QString target = m_list->rowText(to);
    // Equal paths are never traded, so two equal rows cannot chase each other.
    if (from == to || dragged == target)
        return;
    // The folder a row was added from goes with its path.
    const QString draggedTag = m_list->rowTag(from);
    m_list->setRowText(from, target);
    m_list->setRowTag(from, m_list->rowTag(to));
    m_list->setRowText(to, dragged);
    m_list->setRowTag(to, draggedTag);
    m_list->selectRow(to);
    m_draggedRow = QPersistentModelIndex(under.siblingAtColumn(0));
    const int screenY = m_list->viewport()->mapToGlobal(pos).y();
    if (screenY < kScrollUpBelowY) {
        if (to > 0)
            m_list->scrollToItem(m_list->topLevelItem(to - 1));
    } else if (screenY >= kScrollDownFromY && to + 1 < m_list->rowCount()) {
        m_list->scrollToItem(m_list->topLevelItem(to + 1));
    }
}

void RowReorder::release()
{
    m_dragging = false;
    // Back to the window's own pointer: the arrow, or the busy pointer while a scan runs.
    m_list->setListPointer(std::nullopt);
}

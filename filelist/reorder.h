// Reordering the file list by dragging a row: each time the pointer comes over another row, the
// dragged path and that row's path trade places, and the list scrolls by a row when the pointer
// is high or low on the screen.
#pragma once

#include <QPersistentModelIndex>
#include <QPoint>

class ListView;

class RowReorder {
public:
    explicit RowReorder(ListView* list = nullptr) : m_list(list) {}

    // A press in the list at pos (list coordinates); a press on a row makes it the dragged one
    // and gives the list the drag pointer.
    void press(QPoint pos);
    // A move to pos: trades the dragged path with the row under the pointer, if any.
    void move(QPoint pos);
    // The release: the drag ends and the list takes the window's pointer again.
    void release();

    bool dragging() const { return m_dragging; }

    // Screen rows (pixels from the top of the screen) above and below which a swap scrolls.
    static constexpr int kScrollUpBelowY = 305;
    static constexpr int kScrollDownFromY = 365;

private:
    ListView* m_list;
    bool m_dragging = false;
    // The row that holds the dragged path; invalid when none or when it was removed.
    QPersistentModelIndex m_draggedRow;
};

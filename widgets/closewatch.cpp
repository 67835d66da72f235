#include "widgets/closewatch.h"

#include <QEvent>
#include <QWidget>

CloseWatch::CloseWatch(std::function<void()> onClose) : m_onClose(std::move(onClose)) {}

CloseWatch::~CloseWatch()
{
    for (const QPointer<QWidget>& w : std::as_const(m_windows))
        if (w)
            w->removeEventFilter(this);
}

void CloseWatch::watch(QWidget* window)
{
    if (!window)
        return;
    window->installEventFilter(this);
    m_windows << window;
}

bool CloseWatch::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::Close && !m_closed) {
        m_closed = true;
        if (m_onClose)
            m_onClose();
    }
    return QObject::eventFilter(watched, event);
}

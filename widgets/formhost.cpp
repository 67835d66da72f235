#include "widgets/formhost.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QScopedValueRollback>
#include <QScreen>

namespace {

// Where the keyboard goes when form comes up: the control it had when it was last shown, else
// the first one the Tab key reaches, as when a window of its own comes up.
QWidget* focusTarget(QWidget* form, QWidget* last)
{
    if (last && last->isVisibleTo(form) && last->isEnabled())
        return last;
    for (QWidget* w = form->nextInFocusChain(); w && w != form; w = w->nextInFocusChain())
        if (form->isAncestorOf(w) && w->isVisibleTo(form) && w->isEnabled()
            && (w->focusPolicy() & Qt::TabFocus))
            return w;
    return nullptr;
}

}  // namespace

FormHost::FormHost()
{
    setObjectName(QStringLiteral("FormHost"));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                   | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint
                   | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
}

void FormHost::adopt(QWidget* form)
{
    form->setParent(this);
    form->move(0, 0);
    form->hide();
    form->installEventFilter(this);
}

bool FormHost::eventFilter(QObject* watched, QEvent* event)
{
    auto* form = qobject_cast<QWidget*>(watched);
    if (form && form->parentWidget() == this) {
        switch (event->type()) {
        case QEvent::ShowToParent:
            switchTo(form);
            break;
        case QEvent::HideToParent:
            if (form == m_current && isVisible())
                hide();
            break;
        case QEvent::WindowTitleChange:
        case QEvent::WindowIconChange:
            if (form == m_current)
                takeLooks(form);
            break;
        default:
            break;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void FormHost::switchTo(QWidget* form)
{
    QWidget* previous = m_current;
    m_current = form;
    if (previous && previous != form) {
        // Hiding the control that has the keyboard forgets it.
        m_lastFocus[previous] = previous->focusWidget();
        previous->hide();
    }
    takeLooks(form);
    if (!m_placed) {
        centreOnScreen();
        m_placed = true;
    }
    if (QWidget* w = focusTarget(form, m_lastFocus.value(form)))
        w->setFocus(Qt::OtherFocusReason);
    if (!isVisible())
        show();
}

void FormHost::takeLooks(QWidget* form)
{
    // The window's icon passes on to its pages as a change of theirs.
    if (m_takingLooks)
        return;
    const QScopedValueRollback<bool> taking(m_takingLooks, true);
    setFixedSize(form->size());
    setWindowTitle(form->windowTitle());
    setWindowIcon(form->windowIcon());
}

void FormHost::centreOnScreen()
{
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

void FormHost::closeEvent(QCloseEvent* event)
{
    event->setAccepted(!m_current || m_current->close());
}

QWidget* FormOf(QWidget* w)
{
    for (QWidget* p = w; p; p = p->parentWidget())
        if (qobject_cast<FormHost*>(p->parentWidget()))
            return p;
    return w ? w->window() : nullptr;
}

// One platform window for both working windows. A Wayland client can neither read nor choose
// where its windows go, so a second window would open wherever the compositor likes; instead the
// forms are pages of one window, which shows one page at a time and stays where it is.
#pragma once

#include <QHash>
#include <QPointer>
#include <QWidget>

class FormHost : public QWidget {
    Q_OBJECT
public:
    FormHost();

    // Makes form a page of this window, hidden. From then on showing the form makes it the page
    // shown, with its own fixed size, title and icon (the window grows or shrinks from its
    // top-left corner), and hiding the page shown hides the window.
    void adopt(QWidget* form);
    // The page shown, or the last one shown while the window is hidden; nullptr before any.
    QWidget* current() const { return m_current; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    // A close of the window is a close of the page shown, which decides whether it goes ahead.
    void closeEvent(QCloseEvent* event) override;

private:
    void switchTo(QWidget* form);
    void takeLooks(QWidget* form);
    void centreOnScreen();

    QPointer<QWidget> m_current;
    QHash<QWidget*, QPointer<QWidget>> m_lastFocus;
    bool m_placed = false;
    bool m_takingLooks = false;
};

// The form w belongs to: the page of a FormHost that holds it, else its window.
QWidget* FormOf(QWidget* w);

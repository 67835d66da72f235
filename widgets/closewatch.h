// Lets a long operation notice that one of its windows was closed while it let events run.
// Only a close counts, never a hide: the run hides the main window on purpose.
#pragma once

#include <QObject>
#include <QPointer>
#include <functional>

class QWidget;

class CloseWatch : public QObject {
public:
    // onClose runs once, at the first close, before the window's own close handling, which may
    // end the program without returning to the operation.
    explicit CloseWatch(std::function<void()> onClose = {});
    ~CloseWatch() override;
    void watch(QWidget* window);
    bool closed() const { return m_closed; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    std::function<void()> m_onClose;
    QList<QPointer<QWidget>> m_windows;
    bool m_closed = false;
};

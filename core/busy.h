// The program's busy state: how many long operations are in progress (a folder scan, a folder
// drop, the reduction run, saving, deleting the work copies). Each lets events run, so other
// handlers run in the middle of it; while any is in progress the windows show the busy
// pointer, and every command that would change the list or the results under it refuses.
// A count, not a flag: an operation that ends inside another must not make the windows look
// idle while the outer one goes on.
#pragma once

#include <QObject>

class BusyState : public QObject {
    Q_OBJECT
public:
    static BusyState& instance();
    bool active() const { return m_count > 0; }
    int count() const { return m_count; }

signals:
    // Emitted when the state turns busy or idle.
    void changed(bool active);

private:
    friend class BusyOperation;
    void enter();
    void leave();
    int m_count = 0;
};

// Counts one long operation for as long as it lives.
class BusyOperation {
public:
    BusyOperation() { BusyState::instance().enter(); }
    ~BusyOperation() { BusyState::instance().leave(); }
    BusyOperation(const BusyOperation&) = delete;
    BusyOperation& operator=(const BusyOperation&) = delete;
};

inline bool IsBusy() { return BusyState::instance().active(); }

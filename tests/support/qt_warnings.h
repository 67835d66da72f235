// The warnings Qt writes while a case runs, so that a case can fail on one.
#pragma once

#include <QStringList>
#include <QtGlobal>

// Collects every Qt warning issued while it lives, and passes it on as before.
class QtWarnings {
public:
    QtWarnings() : m_previous(qInstallMessageHandler(&QtWarnings::handle)) { s_current = this; }
    ~QtWarnings()
    {
        s_current = nullptr;
        qInstallMessageHandler(m_previous);
    }
    QtWarnings(const QtWarnings&) = delete;
    QtWarnings& operator=(const QtWarnings&) = delete;

    // The warnings seen so far that contain text.
    QStringList containing(const QString& text) const { return m_seen.filter(text); }

private:
    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& message)
    {
        if (s_current) {
            if (type == QtWarningMsg)
                s_current->m_seen << message;
            if (s_current->m_previous)
                s_current->m_previous(type, context, message);
        }
    }
    static inline QtWarnings* s_current = nullptr;
    QtMessageHandler m_previous;
    QStringList m_seen;
};

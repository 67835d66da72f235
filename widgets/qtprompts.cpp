#include "widgets/qtprompts.h"

#include "core/globals.h"
#include "widgets/folderbrowser.h"
#include "core/session.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>
#include <QUrl>

namespace {

// Once the program is ending nobody answers a dialog, so none is shown: each call returns
// what a cancel would.
class QtPrompts final : public Prompts {
public:
    Answer messageBox(const QString& text, const QString& caption, Buttons buttons,
                      Icon icon) override
    {
        if (SessionEnding())
            return buttons == Buttons::Ok ? Answer::Ok : Answer::No;
        QMessageBox box(icon == Icon::Warning ? QMessageBox::Warning : QMessageBox::NoIcon,
                        caption.isEmpty() ? Globals::appTitle() : caption, text,
                        buttons == Buttons::YesNo ? (QMessageBox::Yes | QMessageBox::No)
                                                  : QMessageBox::Ok);
        const int r = box.exec();
        if (buttons == Buttons::Ok)
            return Answer::Ok;
        return r == QMessageBox::Yes ? Answer::Yes : Answer::No;
    }

    QString inputBox(const QString& prompt, const QString& caption,
                     const QString& defaultAnswer) override
    {
        if (SessionEnding())
            return QString();
        bool ok = false;
        const QString text = QInputDialog::getText(
            nullptr, caption.isEmpty() ? Globals::appTitle() : caption, prompt, QLineEdit::Normal,
            defaultAnswer, &ok);
        return ok ? text : QString();
    }

    OpenFileResult openFileDialog(QWidget* owner, const OpenFileOptions& o) override
    {
        if (SessionEnding())
            return {};
        QStringList names;
        if (o.multiSelect) {
            names = QFileDialog::getOpenFileNames(owner, o.title, o.initialName, QtDialogFilter(o.filter));
        } else {
            const QString one =
                QFileDialog::getOpenFileName(owner, o.title, o.initialName, QtDialogFilter(o.filter));
            if (!one.isEmpty())
                names << one;
        }
        OpenFileResult result;
        for (const QString& n : std::as_const(names))
            result.paths << QDir::toNativeSeparators(n);
        return result;
    }

    QString browseForFolder(QWidget* owner, const QString& prompt,
                            const QString& startFolder) override
    {
        if (SessionEnding())
            return QString();
        return FolderBrowser::getFolder(owner, prompt, startFolder);
    }

    bool openFolder(const QString& path) override
    {
        return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
    }

    bool openUrl(const QString& url) override { return QDesktopServices::openUrl(QUrl(url)); }
};

QtPrompts g_qtPrompts;

}  // namespace

// A description that already shows its patterns does not get them a second time.
QString QtDialogFilter(const QString& filter)
{
    const QStringList parts = filter.split(QLatin1Char('|'));
    QStringList out;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        QString patterns = parts[i + 1];
        patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
        const QString shown = QStringLiteral("(") + patterns + QLatin1Char(')');
        out << (parts[i].endsWith(shown) ? parts[i] : parts[i] + QLatin1Char(' ') + shown);
    }
    return out.join(QStringLiteral(";;"));
}

Prompts& qtPrompts() { return g_qtPrompts; }

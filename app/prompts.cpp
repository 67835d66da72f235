#include "app/prompts.h"

#include "app/globals.h"
#include "filelist/folderbrowser.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QMessageBox>
#include <QUrl>

namespace {

// Turns "PCX Files (*.pcx)|*.pcx|All|*.*" into Qt's "PCX Files (*.pcx) (*.pcx);;All (*.*)".
QString qtFilter(const QString& filter)
{
    const QStringList parts = filter.split(QLatin1Char('|'));
    QStringList out;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        QString patterns = parts[i + 1];
        patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
        out << parts[i] + QStringLiteral(" (") + patterns + QLatin1Char(')');
    }
    return out.join(QStringLiteral(";;"));
}

class QtPrompts final : public Prompts {
public:
    Answer messageBox(const QString& text, const QString& caption, Buttons buttons,
                      Icon icon) override
    {
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
        bool ok = false;
        const QString text = QInputDialog::getText(
            nullptr, caption.isEmpty() ? Globals::appTitle() : caption, prompt, QLineEdit::Normal,
            defaultAnswer, &ok);
        return ok ? text : QString();
    }

    OpenFileResult openFileDialog(QWidget* owner, const OpenFileOptions& o) override
    {
        OpenFileResult result;
        QStringList names;
        if (o.multiSelect) {
            names = QFileDialog::getOpenFileNames(owner, o.title, o.initialName, qtFilter(o.filter));
        } else {
            const QString one =
                QFileDialog::getOpenFileName(owner, o.title, o.initialName, qtFilter(o.filter));
            if (!one.isEmpty())
                names << one;
        }
        if (names.size() == 1) {
            result.fileName = QDir::toNativeSeparators(names.front());
        } else if (names.size() > 1) {
            // The common dialog's form: the folder, then each name, NUL-separated.
            QString text = QDir::toNativeSeparators(QFileInfo(names.front()).absolutePath());
            for (const QString& n : names)
                text += QChar(0) + QFileInfo(n).fileName();
            result.fileName = text;
        }
        return result;
    }

    QString browseForFolder(QWidget* owner, const QString& prompt,
                            const QString& startFolder) override
    {
        return FolderBrowser::getFolder(owner, prompt, startFolder);
    }

    bool openFolder(const QString& path) override
    {
        return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
    }

    bool openUrl(const QString& url) override { return QDesktopServices::openUrl(QUrl(url)); }
};

QtPrompts g_qtPrompts;
Prompts* g_prompts = nullptr;

}  // namespace

Prompts& prompts() { return g_prompts ? *g_prompts : g_qtPrompts; }

void setPrompts(Prompts* p) { g_prompts = p; }

Prompts::Answer msgBox(const QString& text, Prompts::Buttons buttons, Prompts::Icon icon)
{
    return prompts().messageBox(text, QString(), buttons, icon);
}

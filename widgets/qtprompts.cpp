#include "widgets/qtprompts.h"

#include "core/globals.h"
#include "core/messages.h"
#include "widgets/folderbrowser.h"
#include "core/session.h"

#include <QColorDialog>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QPushButton>
#include <QVBoxLayout>
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

    ColourResult colourDialog(QWidget* owner, const QString& title, const QString& current) override
    {
        if (SessionEnding())
            return {};
        // Qt's own picker inside a dialog of ours, which adds "None" to its buttons.
        QDialog dialog(owner);
        dialog.setWindowTitle(title);
        auto* picker = new QColorDialog(&dialog);
        picker->setWindowFlags(Qt::Widget);
        picker->setOptions(QColorDialog::NoButtons | QColorDialog::DontUseNativeDialog);
        if (!current.isEmpty())
            picker->setCurrentColor(QColor(QLatin1Char('#') + current));
        auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
        const QPushButton* none = buttons->addButton(Messages::kKeyColourNone, QDialogButtonBox::ResetRole);
        constexpr int kNone = 2;
        QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
        QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
        QObject::connect(none, &QPushButton::clicked, &dialog, [&dialog] { dialog.done(kNone); });
        auto* layout = new QVBoxLayout(&dialog);
        layout->addWidget(picker);
        layout->addWidget(buttons);
        const int answer = dialog.exec();
        if (answer == QDialog::Rejected)
            return {};
        if (answer == kNone)
            return {true, QString()};
        return {true, picker->currentColor().name(QColor::HexRgb).mid(1)};
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

#include "app/errorreport.h"
#include "app/form1.h"
#include "app/globals.h"
#include "app/prompts.h"
#include "app/settings.h"
#include "filelist/addfolder.h"
#include "filelist/paths.h"

#include <QDir>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QPointer>
#include <QTimer>
#include <QUrl>

namespace {

QStringList localPathsOf(const QMimeData* data)
{
    QStringList paths;
    if (!data || !data->hasUrls())
        return paths;
    for (const QUrl& url : data->urls()) {
        if (url.isLocalFile() && !url.toLocalFile().isEmpty())
            paths << QDir::toNativeSeparators(url.toLocalFile());
    }
    return paths;
}

bool carriesLocalFiles(const QMimeData* data)
{
    if (!data || !data->hasUrls())
        return false;
    for (const QUrl& url : data->urls()) {
        if (url.isLocalFile())
            return true;
    }
    return false;
}

// The list only reads what is dropped: it takes a copy, or failing that a link, and never a
// move, so a file manager never removes the user's files after a drop.
Qt::DropAction safeDropAction(Qt::DropActions possible)
{
    if (possible & Qt::CopyAction)
        return Qt::CopyAction;
    if (possible & Qt::LinkAction)
        return Qt::LinkAction;
    return Qt::IgnoreAction;
}

}  // namespace

void Form1::setupFileListDragAndDrop()
{
    ListView1->setAcceptDrops(true);
    ListView1->viewport()->setAcceptDrops(true);
    ListView1->setDragEnabled(false);
    ListView1->setDragDropMode(QAbstractItemView::DropOnly);
    ListView1->setDropIndicatorShown(false);
}

void Form1::PushButton1_Click()
{
    ErrorTrap trap("Form1", "PushButton1_Click");
    Prompts::OpenFileOptions options;
    options.title = QStringLiteral("Add File(s) - Hold Ctrl or Shift to select multiple files");
    options.filter = QStringLiteral("All PCX Files (*.pcx)|*.pcx|");
    options.initialName = QString();
    options.multiSelect = true;
    Prompts::OpenFileResult result;
    if (!STEP(trap, result = prompts().openFileDialog(this, options)))
        return;
    if (result.bufferTooSmall) {
        STEP(trap, msgBox(QStringLiteral("You've selected too many files to add.\n\n"
                                         "Please try adding via the \"Add All\" button.")));
        return;
    }
    if (result.fileName.isEmpty())
        return;
    const QStringList parts = result.fileName.split(QChar(0));
    if (parts.size() == 1) {
        STEP(trap, ListView1->addRow(parts.front()));
        return;
    }
    const QString& folder = parts.front();
    for (qsizetype i = 1; i < parts.size(); ++i) {
        if (parts.at(i).isEmpty())
            continue;
        STEP(trap, ListView1->addRow(NormalizePath(folder + QDir::separator() + parts.at(i))));
    }
}

void Form1::PushButton3_Click()
{
    ErrorTrap trap("Form1", "PushButton3_Click");
    QString extension;
    STEP(trap, extension = Settings::get(Settings::kExtension));
    QString answer;
    STEP(trap, answer = prompts().inputBox(
                   QStringLiteral("Enter file extension to load:\n\n"
                                  "(* for all files, txt for all txt files, doc for all doc files, etc.)"),
                   Globals::appTitle(), extension));
    if (answer.isEmpty())
        return;
    extension = answer;
    STEP(trap, Settings::put(Settings::kExtension, extension));
    STEP(trap, LastFolder() = Settings::get(Settings::kLastFolder));
    QString picked;
    STEP(trap, picked = BrowseForFolder(this, QStringLiteral("Please select folder:"), LastFolder()));
    if (picked.isEmpty())
        return;
    LastFolder() = picked;
    STEP(trap, Settings::put(Settings::kLastFolder, picked));
    STEP(trap, setMousePointer(kPointerBusy));
    STEP(trap, AddFolderTree(ListView1, picked, PatternForExtension(extension)));
    STEP(trap, setMousePointer(kPointerDefault));
}

void Form1::ListView1_OLEDragOver(QDragMoveEvent* event)
{
    const Qt::DropAction action = carriesLocalFiles(event->mimeData())
        ? safeDropAction(event->possibleActions())
        : Qt::IgnoreAction;
    if (action == Qt::IgnoreAction) {
        event->setDropAction(Qt::IgnoreAction);
        event->ignore();
        return;
    }
    event->setDropAction(action);
    event->accept();
}

void Form1::ListView1_OLEDragDrop(QDropEvent* event)
{
    ErrorTrap trap("Form1", "ListView1_OLEDragDrop");
    QStringList paths;
    Qt::DropAction action = Qt::IgnoreAction;
    STEP(trap, paths = localPathsOf(event->mimeData()));
    STEP(trap, action = safeDropAction(event->possibleActions()));
    if (paths.isEmpty() || action == Qt::IgnoreAction) {
        event->setDropAction(Qt::IgnoreAction);
        event->ignore();
        return;
    }
    event->setDropAction(action);
    event->accept();
    // The scan runs after the drop is answered, so the program the files came from is not
    // kept waiting while a large folder is read.
    QPointer<ListView> list(ListView1);
    QTimer::singleShot(0, this, [list, paths] {
        ErrorTrap later("Form1", "ListView1_OLEDragDrop");
        if (list)
            STEP(later, AddDroppedPaths(list, paths));
    });
}

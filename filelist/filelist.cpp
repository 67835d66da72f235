#include "filelist/filelist.h"

#include "core/errorreport.h"
#include "core/globals.h"
#include "core/messages.h"
#include "core/prompts.h"
#include "core/settings.h"
#include "filelist/addfolder.h"
#include "filelist/paths.h"
#include "widgets/controls.h"

#include <QDir>
#include <QHelpEvent>
#include <QMimeData>
#include <QToolTip>
#include <QUrl>

namespace {

// Answers the tooltip requests over the list's rows.
class RowPathTips : public QObject {
public:
    explicit RowPathTips(ListView* list) : QObject(list), m_list(list)
    {
        list->viewport()->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched != m_list->viewport() || event->type() != QEvent::ToolTip)
            return false;
        const auto* help = static_cast<QHelpEvent*>(event);
        const QModelIndex index = m_list->indexAt(help->pos());
        if (!index.isValid())
            return false;
        QRect area = m_list->visualRect(index);
        area.setLeft(0);
        area.setRight(m_list->viewport()->width());
        const QString tip = QStringLiteral("<p><nobr>%1</nobr></p><p>%2</p>")
                                .arg(m_list->rowText(index.row()).toHtmlEscaped(),
                                     m_list->toolTip().toHtmlEscaped());
        QToolTip::showText(help->globalPos(), tip, m_list->viewport(), area);
        return true;
    }

private:
    ListView* m_list;
};

}  // namespace

void AcceptFileDrops(ListView* list)
{
    list->setAcceptDrops(true);
    list->viewport()->setAcceptDrops(true);
    list->setDragEnabled(false);
    list->setDragDropMode(QAbstractItemView::DropOnly);
    list->setDropIndicatorShown(false);
}

void ShowRowPathTips(ListView* list) { new RowPathTips(list); }

void AddFilesByDialog(ErrorTrap& trap, QWidget* owner, ListView* list)
{
    Prompts::OpenFileOptions options;
    options.title = Messages::kAddFilesTitle;
    options.filter = Messages::kAddFilesFilter;
    options.multiSelect = true;
    Prompts::OpenFileResult result;
    if (!STEP(trap, result = prompts().openFileDialog(owner, options)))
        return;
    if (result.bufferTooSmall) {
        STEP(trap, msgBox(Messages::kTooManyFiles));
        return;
    }
    STEP(trap, AddPickedFiles(list, result.paths));
}

void AddPickedFiles(ListView* list, const QStringList& paths)
{
    if (paths.size() == 1) {
        list->addRow(paths.front());
        return;
    }
    for (const QString& path : paths) {
        if (!path.isEmpty())
            list->addRow(NormalizePath(path));
    }
}

void AddAllFilesInFolder(ErrorTrap& trap, QWidget* owner, ListView* list)
{
    QString extension;
    STEP(trap, extension = Settings::get(Settings::kExtension));
    QString answer;
    STEP(trap, answer = prompts().inputBox(Messages::kExtensionPrompt, Globals::appTitle(), extension));
    // A user who types the dot or the wildcard means the same extension.
    extension = ExtensionFromAnswer(answer);
    if (extension.isEmpty())
        return;
    STEP(trap, Settings::put(Settings::kExtension, extension));
    STEP(trap, LastFolder() = Settings::get(Settings::kLastFolder));
    QString picked;
    STEP(trap, picked = BrowseForFolder(owner, Messages::kSelectFolder, LastFolder()));
    if (picked.isEmpty())
        return;
    LastFolder() = picked;
    STEP(trap, Settings::put(Settings::kLastFolder, picked));
    STEP(trap, AddFolderTree(list, picked, PatternForExtension(extension)));
}

Qt::DropAction FileDropAction(const QMimeData* data, Qt::DropActions possible)
{
    if (DroppedLocalPaths(data).isEmpty())
        return Qt::IgnoreAction;
    if (possible & Qt::CopyAction)
        return Qt::CopyAction;
    if (possible & Qt::LinkAction)
        return Qt::LinkAction;
    return Qt::IgnoreAction;
}

QStringList DroppedLocalPaths(const QMimeData* data)
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

void RemoveSelectedRow(ListView* list)
{
    if (list->rowCount() == 0)
        return;
    const int row = list->selectedRow();
    if (row >= 0)
        list->removeRow(row);
}

#include "results/preview.h"

#include "core/messages.h"

#include <QCoreApplication>
#include <QFutureWatcher>
#include <QHelpEvent>
#include <QThreadPool>
#include <QToolTip>
#include <QTreeView>
#include <QtConcurrent/QtConcurrentRun>

namespace {

// The pictures' own threads. Qt's global pool also takes parts of the interface thread's
// painting (the raster engine splits large fills among its threads), so decodes there stalled
// every repaint until they ended.
QThreadPool& picturePool()
{
    static QThreadPool* pool = [] {
        auto* p = new QThreadPool(QCoreApplication::instance());
        // No decode may still run while Qt is taken down at the end of the program.
        QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, p, [p] {
            p->clear();
            p->waitForDone();
        });
        return p;
    }();
    return *pool;
}

}  // namespace

void PreviewTips::waitForPreparations()
{
    picturePool().waitForDone();
}

PreviewTips::PreviewTips(QTreeView* list, const ReductionRecords& records, QObject* parent)
    : QObject(parent), m_list(list), m_records(records), m_maker(&Preview::MakePicture)
{
    m_list->viewport()->installEventFilter(this);
}

QStringList PreviewTips::filesOf(int row) const
{
    const ReductionRecord& record = m_records.at(row);
    if (Preview::IsFailedRow(record))
        return {record.inputPath};
    return {record.inputPath, record.workCopy};
}

QString PreviewTips::tipFor(int row)
{
    if (row < 0 || row >= m_records.size())
        return QString();
    for (const QString& path : filesOf(row))
        prepare(path);
    const ReductionRecord& record = m_records.at(row);
    if (!isPrepared(row))
        return Preview::PreparingTipHtml(record);
    return Preview::RowTipHtml(record, m_pictures.value(record.inputPath),
                               m_pictures.value(record.workCopy));
}

bool PreviewTips::isPrepared(int row) const
{
    if (row < 0 || row >= m_records.size())
        return false;
    for (const QString& path : filesOf(row))
        if (!m_pictures.contains(path))
            return false;
    return true;
}

void PreviewTips::clear()
{
    m_pictures.clear();
    m_onTheirWay.clear();
}

void PreviewTips::forget(const QStringList& paths)
{
    for (const QString& path : paths) {
        m_pictures.remove(path);
        m_onTheirWay.remove(path);
    }
}

void PreviewTips::prepare(const QString& path)
{
    if (m_pictures.contains(path) || m_onTheirWay.contains(path))
        return;
    const quint64 ticket = ++m_lastTicket;
    m_onTheirWay.insert(path, ticket);
    ++m_started;
    // The watcher belongs to this object: once it is gone, nothing is delivered. The job holds
    // its own copies of the maker and the path.
    auto* watcher = new QFutureWatcher<Preview::Picture>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, path, ticket] {
        keep(path, ticket, watcher->result());
        watcher->deleteLater();
    });
    watcher->setFuture(QtConcurrent::run(&picturePool(), [maker = m_maker, path] {
        try {
            return maker(path);
        } catch (...) {  // an exception would otherwise surface on the interface thread
            Preview::Picture picture;
            picture.problem = Messages::kPreviewUnreadable;
            return picture;
        }
    }));
}

void PreviewTips::keep(const QString& path, quint64 ticket, const Preview::Picture& picture)
{
    // A preparation that was forgotten meanwhile (a new run, "< Back", a close) finds another
    // ticket or none, and its picture is not kept.
    if (m_onTheirWay.value(path) != ticket)
        return;
    m_onTheirWay.remove(path);
    m_pictures.insert(path, picture);
    emit filePrepared(path);
    refreshShownTip(path);
}

void PreviewTips::showTip(int row, QPoint globalPos)
{
    const QModelIndex index = m_list->model()->index(row, 0);
    QRect area = m_list->visualRect(index);
    area.setLeft(0);
    area.setRight(m_list->viewport()->width());
    m_tipRow = row;
    m_tipPos = globalPos;
    m_tipText = tipFor(row);
    QToolTip::showText(globalPos, m_tipText, m_list->viewport(), area);
}

void PreviewTips::refreshShownTip(const QString& path)
{
    if (m_tipRow < 0 || !QToolTip::isVisible() || QToolTip::text() != m_tipText)
        return;
    if (m_tipRow >= m_records.size() || !filesOf(m_tipRow).contains(path) || !isPrepared(m_tipRow))
        return;
    showTip(m_tipRow, m_tipPos);
}

bool PreviewTips::eventFilter(QObject* watched, QEvent* event)
{
    if (watched != m_list->viewport() || event->type() != QEvent::ToolTip)
        return false;
    const auto* help = static_cast<QHelpEvent*>(event);
    const QModelIndex index = m_list->indexAt(help->pos());
    if (!index.isValid() || index.row() >= m_records.size()) {
        m_tipRow = -1;
        QToolTip::hideText();
        return true;
    }
    showTip(index.row(), help->globalPos());
    return true;
}

#include "results/preview.h"

#include "core/messages.h"
#include "core/services.h"

#include <QCoreApplication>
#include <QHelpEvent>
#include <QThreadPool>
#include <QToolTip>
#include <QTreeView>
#include <QtConcurrent/QtConcurrentRun>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

// The pictures' own threads. Qt's global pool also takes parts of the interface thread's
// painting (the raster engine splits large fills among its threads), so decodes there stalled
// every repaint until they ended.
QThreadPool& picturePool()
{
    static QThreadPool* pool = [] {
#ifdef __GLIBC__
        // A fixed threshold sends every large buffer straight back to the system when it is
        // freed. The default one rises with the first large picture, after which each picture
        // thread's own heap keeps tens of megabytes beyond what the decode budget allows.
        mallopt(M_MMAP_THRESHOLD, 1 << 20);
#endif
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

// What a kept picture counts against the bound: its pixels, its PNG and its texts.
qsizetype keptCost(const Preview::Picture& picture, const QString& path)
{
    return qsizetype(sizeof picture) + picture.thumbnail.sizeInBytes() + picture.png.size()
           + 2 * (picture.problem.size() + path.size());
}

}  // namespace

void PreviewTips::waitForPreparations()
{
    picturePool().waitForDone();
}

PreviewTips::PreviewTips(QTreeView* list, const ReductionRecords& records, QObject* parent)
    : QObject(parent), m_list(list), m_records(records)
{
    m_list->viewport()->installEventFilter(this);
}

QStringList PreviewTips::filesOf(int row) const
{
    const ReductionRecord& record = m_records.at(row);
    if (record.failed())
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
    const auto kept = [this](const QString& path) {
        const Preview::Picture* picture = m_pictures.object(path);
        return picture ? *picture : Preview::Picture();
    };
    return Preview::RowTipHtml(record, kept(record.inputPath), kept(record.workCopy));
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
    // A preparation not begun is called off; one running ends and is not kept.
    for (QFutureWatcher<Preview::Picture>* watcher : std::as_const(m_onTheirWay))
        watcher->cancel();
    m_onTheirWay.clear();
    m_pictures.clear();
}

void PreviewTips::prepare(const QString& path)
{
    if (m_pictures.contains(path) || m_onTheirWay.contains(path))
        return;
    ++m_started;
    // The watcher belongs to this object: once it is gone, nothing is delivered. The job holds
    // its own copies of the maker and the path.
    auto* watcher = new QFutureWatcher<Preview::Picture>(this);
    m_onTheirWay.insert(path, watcher);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, path] {
        keep(path, watcher);
        watcher->deleteLater();
    });
    watcher->setFuture(QtConcurrent::run(&picturePool(), [maker = services().makePicture, path] {
        try {
            return maker(path);
        } catch (...) {  // an exception would otherwise surface on the interface thread
            Preview::Picture picture;
            picture.problem = Messages::kPreviewUnreadable;
            return picture;
        }
    }));
}

void PreviewTips::keep(const QString& path, QFutureWatcher<Preview::Picture>* watcher)
{
    // A preparation that was forgotten meanwhile (a new run, "< Back", a close)
    // is no longer the one on its way for path, and its picture is not kept.
    if (m_onTheirWay.value(path) != watcher)
        return;
    m_onTheirWay.remove(path);
    auto* picture = new Preview::Picture(watcher->result());
    m_pictures.insert(path, picture, keptCost(*picture, path));
    emit filePrepared(path);
    refreshShownTip(path);
}

void PreviewTips::showAt(int row)
{
    if (row < 0 || row >= m_records.size())
        return;
    const QRect area = m_list->visualRect(m_list->model()->index(row, 0));
    showTip(row, m_list->viewport()->mapToGlobal(area.bottomLeft()));
}

bool PreviewTips::hideShown()
{
    if (m_tipRow < 0 || !QToolTip::isVisible() || QToolTip::text() != m_tipText)
        return false;
    m_tipRow = -1;
    QToolTip::hideText();
    return true;
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

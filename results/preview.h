// The results list's tooltips: hovering a row shows its original and reduced pictures. The
// pictures are made off the interface thread, once per file, and kept until the window drops
// them with its work copies or, past kKeptBytes, the ones used longest ago make room.
#pragma once

#include "core/records.h"
#include "results/thumbnail.h"

#include <QCache>
#include <QFutureWatcher>
#include <QHash>
#include <QObject>
#include <QPoint>

class QTreeView;

class PreviewTips : public QObject {
    Q_OBJECT
public:
    // The pictures kept, with their tooltips' PNGs, take at most this many bytes together.
    static constexpr qsizetype kKeptBytes = qsizetype(16) << 20;

    // Answers the tooltip requests of list's rows from records, row i from record i. Both belong
    // to the window that owns this object and outlive it.
    PreviewTips(QTreeView* list, const ReductionRecords& records, QObject* parent);

    // The tooltip of row: its pictures once every file it shows is prepared, else the waiting
    // text. Sends each of its files not yet prepared and not on its way for preparation.
    // Empty for a row that does not exist.
    QString tipFor(int row);
    // True when every file row shows is prepared.
    bool isPrepared(int row) const;
    // Opens row's tooltip at the row, as the keyboard asks for it; nothing for a row that does
    // not exist.
    void showAt(int row);
    // Closes the tooltip this object shows; false when none of its tooltips is open.
    bool hideShown();
    // Drops every picture. Preparations still running are forgotten: what they bring is thrown
    // away, so a file asked for again is prepared anew; those not begun never begin.
    void clear();
    // How many files were sent for preparation since this object was made.
    int preparationsStarted() const { return m_started; }
    // How many pictures are kept, and the bytes they take as counted against kKeptBytes.
    int keptPictures() const { return int(m_pictures.count()); }
    qsizetype keptBytes() const { return m_pictures.totalCost(); }
    // Waits until no preparation of any list runs or waits to run; their results are delivered
    // by the event loop afterwards.
    static void waitForPreparations();

signals:
    // The picture of path is prepared and kept.
    void filePrepared(const QString& path);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The files row shows: the input, and the reduced copy unless the conversion failed.
    QStringList filesOf(int row) const;
    void prepare(const QString& path);
    void keep(const QString& path, QFutureWatcher<Preview::Picture>* watcher);
    void showTip(int row, QPoint globalPos);
    // Brings a tooltip that still waits for path's picture up to date.
    void refreshShownTip(const QString& path);

    QTreeView* m_list;
    const ReductionRecords& m_records;
    QCache<QString, Preview::Picture> m_pictures{kKeptBytes};
    // Files on their way, each with the preparation that brings it.
    QHash<QString, QFutureWatcher<Preview::Picture>*> m_onTheirWay;
    int m_started = 0;
    // The row whose tooltip this object showed last, and where.
    int m_tipRow = -1;
    QPoint m_tipPos;
    QString m_tipText;
};

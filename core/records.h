// What a reduction run hands the results window: one record per input file, by value. The
// results window shows and saves from these alone, so nothing done to the main window's list
// afterwards can change what is saved under which name.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

struct ReductionRecord {
    // The input file's full path, as the list held it when the run began.
    QString inputPath;
    // The reduced copy in the work folder ("tavrik" + digits); it names no file when the
    // conversion failed, and is empty when no free name could be drawn.
    QString workCopy;
    // The size texts of the results list: before, and after or "Fail to reduce". Texts for the
    // screen only: whether the row failed is failed()'s to say.
    QString sizeBefore;
    QString sizeAfter;
    // Why the conversion failed, in the converter's own words where it gave any; never empty
    // for a failed conversion, empty when the copy was written.
    QString failure;
    // The user stopped the run before this file was converted: there is nothing to save and
    // nothing to report.
    bool stopped = false;
    // How the copy was made beyond its colour count, as the results say it ("One palette for
    // 240 files, 8-bit", "Palette of game.pcx", "dithered"); empty for a plain reduction.
    QString madeWith{};
    // The folder the input was added from with its subfolders (a folder added or dropped),
    // ending in a separator and beginning inputPath; empty for a file added on its own.
    QString addedFrom{};

    bool failed() const { return !failure.isEmpty(); }
};

using ReductionRecords = QList<ReductionRecord>;

// Notes the folder each record's input was added from, one per record in order.
inline void NoteAddedFrom(ReductionRecords& records, const QStringList& folders)
{
    for (qsizetype i = 0; i < records.size(); ++i)
        records[i].addedFrom = folders.value(i);
}

// The work copies of records, in order: every file a run may have left in the work folder.
inline QStringList WorkCopiesOf(const ReductionRecords& records)
{
    QStringList copies;
    copies.reserve(records.size());
    for (const ReductionRecord& r : records)
        copies << r.workCopy;
    return copies;
}

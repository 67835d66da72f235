// SPDX-License-Identifier: GPL-3.0-or-later
// Times "Save Keeping Subfolders" against "Save Results" of the same rows. Driven by run.sh.
//
//   save_bench FOLDER [RUNS] [FILES] [SUBFOLDERS]          both, taking turns; medians
//   save_bench FOLDER --once flat|tree [FILES] [SUBFOLDERS]   one save, for callgrind
//
// Makes in FOLDER (when missing) a game's tree of FILES sprites spread over SUBFOLDERS
// subfolders, each name used once in the tree so that both saves write every row, and a work
// copy for each; then saves every row into a fresh empty folder, the flat way and keeping
// subfolders, as the results window does it (Results::Saving, a row at a time).
#include "core/errorreport.h"
#include "core/records.h"
#include "results/save.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

QByteArray sprite(int n)
{
    // About what a 64x64 sprite of 16 colours takes as a run-length PCX.
    QByteArray bytes(2200, '\0');
    for (qsizetype i = 0; i < bytes.size(); ++i)
        bytes[i] = char((i * 31 + n * 7) & 0xff);
    return bytes;
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// The rows of a run over the tree, as the folder scan and the run leave them.
ReductionRecords makeTree(const QString& folder, int files, int subfolders)
{
    const QString data = folder + QStringLiteral("/data/");
    const QString work = folder + QStringLiteral("/work/");
    QDir().mkpath(work);
    ReductionRecords rows;
    for (int i = 0; i < files; ++i) {
        // Folder by folder, as the scan lists them.
        const int sub = int(qint64(i) * subfolders / files);
        const QString below = QStringLiteral("chars%1/anim%2/sprite%3.pcx").arg(sub / 8).arg(sub % 8).arg(i, 4, 10, QLatin1Char('0'));
        ReductionRecord r;
        r.inputPath = data + below;
        r.addedFrom = data;
        r.workCopy = work + QStringLiteral("tavrik%1.pcx").arg(10000000 + i);
        r.sizeBefore = r.sizeAfter = QStringLiteral("3 KB");
        if (!QFile::exists(r.workCopy)) {
            QDir().mkpath(QFileInfo(r.inputPath).absolutePath());
            writeFile(r.inputPath, sprite(i) + sprite(i));
            writeFile(r.workCopy, sprite(i));
        }
        rows << r;
    }
    return rows;
}

// One save of every row into a fresh folder; milliseconds, or -1 when a row was refused.
double save(const ReductionRecords& rows, const QString& folder, Results::Layout layout, int run)
{
    const QString out = folder + QStringLiteral("/out%1-%2").arg(run).arg(layout == Results::Layout::Flat ? "flat" : "tree");
    QDir(out).removeRecursively();
    QDir().mkpath(out);
    QElapsedTimer clock;
    clock.start();
    Results::Saving saving(rows, out, Results::NamingRule::Own, layout);
    try {
        for (qsizetype i = 0; i < saving.rowCount(); ++i)
            saving.saveRow(i);
    } catch (const AppError& e) {
        std::fprintf(stderr, "refused: %s\n", qPrintable(e.description()));
        return -1;
    }
    const double ms = double(clock.nsecsElapsed()) / 1e6;
    QDir(out).removeRecursively();
    return ms;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 2) {
        std::fprintf(stderr, "usage: save_bench FOLDER [RUNS | --once flat|tree] [FILES] [SUBFOLDERS]\n");
        return 2;
    }
    const QString folder = args[1];
    const bool once = args.value(2) == QLatin1String("--once");
    const int firstCount = once ? 4 : 3;
    const int files = args.value(firstCount, QStringLiteral("500")).toInt();
    const int subfolders = args.value(firstCount + 1, QStringLiteral("40")).toInt();
    const ReductionRecords rows = makeTree(folder, files, subfolders);
    if (once) {
        const bool tree = args.value(3) == QLatin1String("tree");
        return save(rows, folder, tree ? Results::Layout::KeepSubfolders : Results::Layout::Flat, 0) < 0;
    }
    const int runs = args.value(2, QStringLiteral("7")).toInt();
    std::vector<double> flat, tree;
    for (int run = 0; run < runs; ++run) {
        // Taking turns, the one that goes first changing, so a change in the machine's load
        // falls on both.
        const bool flatFirst = run % 2 == 0;
        for (int k = 0; k < 2; ++k) {
            const bool isFlat = (k == 0) == flatFirst;
            const double ms = save(rows, folder, isFlat ? Results::Layout::Flat : Results::Layout::KeepSubfolders, run);
            if (ms < 0)
                return 1;
            (isFlat ? flat : tree).push_back(ms);
        }
    }
    std::printf("%d files in %d subfolders, %d runs each, medians\n", files, subfolders, runs);
    std::printf("Save Results:            %8.1f ms\n", median(flat));
    std::printf("Save Keeping Subfolders: %8.1f ms\n", median(tree));
    std::printf("ratio:                   %8.3f (goal at most 1.1)\n", median(tree) / median(flat));
    return 0;
}

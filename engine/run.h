// The reduction run behind "Start Reducing": every input through the converter, one record per
// file, without knowing either window.
#pragma once

#include "core/records.h"
#include "engine/processrunner.h"
#include "engine/reduction.h"

#include <QList>
#include <QObject>
#include <QStringList>
#include <functional>

class ErrorTrap;
class Progress;

// What the floor above says to a run while it goes on: it emits these, the run heeds them.
class RunControl : public QObject {
    Q_OBJECT
signals:
    // The user asks the run to stop (Escape): no file starts any more and the files in flight
    // are ended (StopProcess). Every file that did not come to its end gets a record of its own (size before, "Fail to
    // reduce", stopped), the records of those that did stay, and the run finishes.
    void stopAsked();
    // Nobody is left to take the results (a window closes): every converter in flight is
    // stopped and the run's copies are removed before this returns, since the program may end
    // straight after; the run hands back nothing.
    void stopNow();
};

// The palette every file of a run is reduced to.
enum class PaletteKind {
    Own,     // each file its own, of the colour box's count
    Shared,  // one of that count for all the run's files, gathered from them all first
    Given,   // the palette of a file the user chose, entry for entry
};

// What a run makes of its files besides their colour count; fixed when the run starts.
struct RunChoice {
    PaletteKind palette = PaletteKind::Own;
    // The palette file of a Given run.
    QString paletteFile{};
    // "RRGGBB": in a Shared or Given run the pixels of this colour, and no others, take index
    // 0; empty for none.
    QString keyColour{};
    // How every file is dithered.
    Dither dither = Dither::None;
};

struct RunParts {
    // Shows which file is converted, and the wait. Required; not owned.
    Progress* progress = nullptr;
    // The colour box's current text; read again for every file, so a change made while a file
    // is converted counts from the next file on.
    std::function<QString()> colourText;
    // Where the requests to stop come from; none when nothing but a signal can stop the run.
    // Not owned.
    RunControl* control = nullptr;
    RunChoice choice{};
};

enum class RunEnd {
    Finished,  // every input was handled or, asked to stop, recorded as stopped; the bar is at rest
    Stopped,   // told to stop now, or the converter could not be made ready
    Refused,   // the converter cannot read the palette file of a Given run; nothing was touched
};

struct RunResult {
    RunEnd end = RunEnd::Stopped;
    // One per input, in order, when the run finished; their work copies are the caller's from
    // here on. A stopped run has removed its copies and hands back none.
    ReductionRecords records;
    // Why the palette file was refused, in the converter's words.
    QString refusal;
};

// Reduces inputs to the colour count of parts.colourText with the converter in the work
// folder: files start in list order, several converters run side by side (RunWorkers of the
// services' runWorkers, fewer when their pictures together would need more memory than the run
// allows: ConversionMemoryBudget), and the records come back in list order, exactly as a run of
// one file at a time would make them. A small file (kSharedConverterMemory) is handed to a
// converter that takes ChunkFiles of the run's small files one after another (the next one
// handed while it is on one, so that it never waits for the program between two), and its
// record is completed as the converter says the file has ended; a larger one, and one whose converter
// died with it in hand, gets a converter of its own. When file i of n starts the progress is at i / n x 100
// and reads "Processing: " + its name; the file that started last animates it while it runs.
// Each file starts when one in flight ends, from whichever event loop runs then (a box opened
// during the run holds none up); the call itself returns once the run is over, and so never
// before a box opened inside it is closed. Counts as busy while it runs. A failing step is
// reported through trap and the run goes on; a work folder or a converter that cannot be used
// stops it before anything is touched.
// A Shared run first pools the colours of every file into one palette (PalettePass::gather):
// a file the pool left out fails with its reason, and when no palette comes of it every file
// fails with the pool's reason and none is converted. A Given run first has the palette file
// checked (PalettePass::check) and is Refused when the converter cannot read it; otherwise the
// progress reads "Palette of NAME: N entries" until the first file starts. A stop asked for
// before the files start records every file as stopped. The palette and the list of names the
// converter is given are drawn in the work folder as the copies are, and are removed when the
// run ends, however it ends. Each record says how its copy was made (madeWith).
RunResult RunReduction(ErrorTrap& trap, const QStringList& inputs, const RunParts& parts);

// The converters a run may keep side by side: asked, or one per core when asked is 0 or less.
int RunWorkers(int asked);

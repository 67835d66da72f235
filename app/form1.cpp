#include "app/form1.h"

#include "app/forms.h"
#include "app/startup.h"
#include "core/busy.h"
#include "widgets/closewatch.h"
#include "core/errorreport.h"
#include "core/globals.h"
#include "core/messages.h"
#include "core/prompts.h"
#include "core/settings.h"
#include "engine/run.h"
#include "filelist/addfolder.h"
#include "filelist/filelist.h"
#include "filelist/samples.h"
#include "results/form2.h"
#include "widgets/allwindows.h"
#include "widgets/skin.h"

#include <QActionGroup>
#include <QCloseEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QHeaderView>
#include <QIcon>
#include <QPixmap>
#include <QScopedValueRollback>
#include <QSignalBlocker>
#include <QTimer>
#include <memory>

namespace {

const QStringList kColourEntries = {
    QStringLiteral("256 colors"), QStringLiteral("128 colors"), QStringLiteral("64 colors"),
    QStringLiteral("32 colors"),  QStringLiteral("16 colors"),  QStringLiteral("8 colors"),
    QStringLiteral("4 colors")};

// The stored colour choice as a position of Combo1; throws on anything but "0" to "6".
int colourPosition(const QString& stored)
{
    bool ok = false;
    const short n = stored.trimmed().toShort(&ok);
    if (!ok || n < 0 || n >= kColourEntries.size())
        throw AppError(Messages::kBadColourChoice.arg(stored).arg(kColourEntries.size() - 1));
    return n;
}

// Asks for a palette file, starting in the folder the last one came from, and remembers its
// folder; empty when the user cancels.
QString choosePaletteFile(ErrorTrap& trap, QWidget* owner)
{
    Prompts::OpenFileOptions options;
    options.title = Messages::kChoosePaletteTitle;
    options.filter = Messages::kPaletteFilter;
    STEP(trap, options.initialName = Settings::get(Settings::kLastPaletteFolder));
    Prompts::OpenFileResult result;
    if (!STEP(trap, result = prompts().openFileDialog(owner, options)) || result.paths.isEmpty())
        return QString();
    const QString file = result.paths.front();
    STEP(trap, Settings::put(Settings::kLastPaletteFolder, QFileInfo(file).absolutePath()));
    return file;
}

}  // namespace

Form1::Form1()
{
    setDesignedWindow("Form1", 8040, 6180);
    makeControls();
    watchPointers();
    connectHandlers();
    describeForScreenReaders();
    addWindowKeys();
    makeListMenu();
}

void Form1::makeControls()
{
    ListView1 = newControl<ListView>("ListView1", 120, 630, 7800, 2535, this);
    ListView1->setFont(formFont());
    ListView1->setToolTip(Messages::kFileListTip);
    ProgressBar1 = newControl<ProgressBar>("ProgressBar1", 120, 5650, 7800, 405, this);
    Frame1 = newControl<QGroupBox>("Frame1", 120, 4215, 7800, 800, QStringLiteral("Colors"), this);
    Combo1 = newControl<QComboBox>("Combo1", 240, 300, 7335, 345, Frame1);
    PaintFixedControl(*Combo1);

    PushButton1 = newControl<PushButton>("PushButton1", 120, 3250, 3840, 405,
                                         QStringLiteral("Add PCX File(s)"), this);
    PushButton3 = newControl<PushButton>("PushButton3", 4080, 3250, 3840, 405,
                                         QStringLiteral("Add All PCX File(s) In Folder"), this);
    PushButton2 = newControl<PushButton>("PushButton2", 120, 5130, 7800, 405,
                                         QStringLiteral("Start Reducing"), this);
    PushButton5 = newControl<PushButton>("PushButton5", 120, 120, 7800, 405, QStringLiteral("Help"), this);
    PushButton4 = newControl<PushButton>("PushButton4", 4080, 3760, 3840, 405,
                                         QStringLiteral("Load Sample/Example Files"), this);
    PushButton6 = newControl<PushButton>("PushButton6", 120, 3760, 3840, 405,
                                         QStringLiteral("Clear List"), this);

    // Tab order as designed.
    setTabChain({ListView1, ProgressBar1, Frame1, Combo1, PushButton1, PushButton3, PushButton2,
                 PushButton5, PushButton4, PushButton6});
}

void Form1::watchPointers()
{
    for (PushButton* b : {PushButton1, PushButton2, PushButton3, PushButton4, PushButton5, PushButton6})
        watchAsButton(b);
    watchAsBackground(ListView1->viewport());
    watchAsBackground(ListView1->header());
    watchAsBackground(Frame1);
}

void Form1::connectHandlers()
{
    connect(PushButton1, &QPushButton::clicked, this, [this] { PushButton1_Click(); });
    connect(PushButton2, &QPushButton::clicked, this, [this] { PushButton2_Click(); });
    connect(PushButton3, &QPushButton::clicked, this, [this] { PushButton3_Click(); });
    connect(PushButton4, &QPushButton::clicked, this, [this] { PushButton4_Click(); });
    connect(PushButton5, &QPushButton::clicked, this, [this] { PushButton5_Click(); });
    connect(PushButton6, &QPushButton::clicked, this, [this] { PushButton6_Click(); });
    connect(Combo1, &QComboBox::currentIndexChanged, this, [this] { Combo1_Click(); });
    connect(ListView1, &ListView::doubleClicked, this, [this] { ListView1_DblClick(); });
    connect(ListView1, &ListView::keyPressed, this, [this](int key) { ListView1_KeyDown(key); });
    connect(ListView1, &ListView::dragEntered, this,
            [this](QDragEnterEvent* e) { ListView1_OLEDragOver(e); });
    connect(ListView1, &ListView::dragMoved, this,
            [this](QDragMoveEvent* e) { ListView1_OLEDragOver(e); });
    connect(ListView1, &ListView::dropped, this, [this](QDropEvent* e) { ListView1_OLEDragDrop(e); });
    connect(ListView1, &ListView::mousePressed, this,
            [this](Qt::MouseButton b, QPoint p) { ListView1_MouseDown(b, p); });
    connect(ListView1, &ListView::mouseMoved, this,
            [this](Qt::MouseButtons b, QPoint p) { ListView1_MouseMove(b, p); });
    connect(ListView1, &ListView::mouseReleased, this,
            [this](Qt::MouseButton b, QPoint p) { ListView1_MouseUp(b, p); });
    connect(ListView1, &ListView::menuAsked, this, [this](QPoint at) { ListView1_ContextMenu(at); });
    AcceptFileDrops(ListView1);
    ShowRowPathTips(ListView1);
    m_reorder = RowReorder(ListView1);
}

void Form1::describeForScreenReaders()
{
    // For screen readers and the keyboard; captions and layout stay as designed.
    ListView1->setAccessibleName(Messages::kFileListName);
    ProgressBar1->setAccessibleName(Messages::kProgressName);
    Combo1->setAccessibleName(Frame1->title());
    PushButton1->setToolTip(Messages::kTipAddFiles);
    PushButton2->setToolTip(Messages::kTipStart);
    PushButton3->setToolTip(Messages::kTipAddFolder);
    PushButton4->setToolTip(Messages::kTipSamples);
    PushButton5->setToolTip(Messages::kTipHelp);
    PushButton6->setToolTip(Messages::kTipClear);
}

void Form1::addWindowKeys()
{
    addShortcut({QKeySequence(Qt::Key_F1)}, [this] { PushButton5_Click(); });
    addShortcut({QKeySequence(Qt::CTRL | Qt::Key_O)}, [this] { PushButton1_Click(); });
    addShortcut({QKeySequence(Qt::CTRL | Qt::Key_Return), QKeySequence(Qt::CTRL | Qt::Key_Enter)},
                [this] { PushButton2_Click(); });
    addShortcut({QKeySequence(Qt::Key_Escape)}, [this] { Form_KeyDown(Qt::Key_Escape); });
}

void Form1::makeListMenu()
{
    // The list's menu: the commands a user looks for there, and the palette runs, which have no
    // place in the window's design.
    Menu1 = new QMenu(this);
    Menu1->setObjectName(QStringLiteral("Menu1"));
    Menu1->setToolTipsVisible(true);
    // A popup takes no colours from its window: it is given the lists' own.
    PaintFixedControl(*Menu1);
    mnuAddFiles = addMenuItem(Menu1, "mnuAddFiles", QStringLiteral("Add PCX File(s)…"),
                              {QKeySequence(Qt::CTRL | Qt::Key_O)}, Messages::kTipAddFiles, false,
                              [this] { PushButton1_Click(); });
    mnuAddFolder = addMenuItem(Menu1, "mnuAddFolder", QStringLiteral("Add All PCX File(s) In Folder…"),
                               {}, Messages::kTipAddFolder, false, [this] { PushButton3_Click(); });
    mnuRemove = addMenuItem(Menu1, "mnuRemove", QStringLiteral("Remove"), {QKeySequence(Qt::Key_Delete)},
                            Messages::kTipRemove, false, [this] { mnuRemove_Click(); });
    mnuClearList = addMenuItem(Menu1, "mnuClearList", QStringLiteral("Clear List"), {},
                               Messages::kTipClear, false, [this] { PushButton6_Click(); });
    Menu1->addSeparator();
    mnuOnePalette = addMenuItem(
        Menu1, "mnuOnePalette", QStringLiteral("Start Reducing with One Palette for All"),
        {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Return), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Enter)},
        Messages::kTipOnePalette, true, [this] { mnuOnePalette_Click(); });
    mnuPaletteOfFile = addMenuItem(Menu1, "mnuPaletteOfFile",
                                   QStringLiteral("Start Reducing to the Palette of a File…"),
                                   {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_P)},
                                   Messages::kTipPaletteOfFile, true, [this] { mnuPaletteOfFile_Click(); });
    mnuKeyColour = addMenuItem(Menu1, "mnuKeyColour", QStringLiteral("Key Colour…"), {},
                               Messages::kTipKeyColour, false, [this] { mnuKeyColour_Click(); });
    Menu1->addSeparator();
    makeDitherItems();
}

void Form1::makeDitherItems()
{
    auto* choice = new QActionGroup(this);
    choice->setExclusionPolicy(QActionGroup::ExclusionPolicy::Exclusive);
    const auto item = [this, choice](const char* name, const QString& caption, const QString& tip,
                                     Dither dither) {
        QAction* a = addMenuItem(Menu1, name, caption, {}, tip, false, [this, dither] { mnuDither_Click(dither); });
        a->setCheckable(true);
        a->setData(QVariant::fromValue(int(dither)));
        choice->addAction(a);
        return a;
    };
    mnuNoDither = item("mnuNoDither", QStringLiteral("No Dither"), Messages::kTipNoDither, Dither::None);
    mnuDither = item("mnuDither", QStringLiteral("Smooth Gradients (Dither)"), Messages::kTipDither,
                     Dither::Diffuse);
    mnuPatternDither = item("mnuPatternDither", QStringLiteral("Steady Pattern (Dither for Animation)"),
                            Messages::kTipPatternDither, Dither::Pattern);
    mnuNoDither->setChecked(true);
}

void Form1::Form_Load()
{
    ErrorTrap trap("Form1", "Form_Load");
    STEP(trap, ApplySkin(*this));
    STEP(trap, setWindowTitle(Globals::kProductTitle));
    STEP(trap, setWindowIcon(ApplicationIcon()));
    STEP(trap, SetAppTitle());
    STEP(trap, loadHandPointer());
    STEP(trap, StartupWebVisit());
    STEP(trap, {
        if (Settings::get(Settings::kSnapshot).isEmpty())
            BuildSampleSnapshot();
    });
    STEP(trap, ListView1->setHeaderLabels({QStringLiteral("PCX File(s)")}));
    STEP(trap, ListView1->setColumnWidth(0, tw(7000)));
    STEP(trap, {
        // Filling an empty box selects its first entry; the saved choice must not be
        // overwritten before it is read.
        const QSignalBlocker quiet(Combo1);
        Combo1->addItems(kColourEntries);
        Combo1->setCurrentIndex(-1);
    });
    // Selecting counts as a click, so the position is saved again.
    const bool restored = STEP(trap, {
        const int position = colourPosition(Settings::get(Settings::kCombo1));
        Combo1->setCurrentIndex(position);
    });
    // A broken saved choice falls back to "256 colors", so a run never finds no colour count.
    if (!restored)
        STEP(trap, Combo1->setCurrentIndex(0));
    STEP(trap, showDither(DitherFromText(Settings::get(Settings::kDither))));
    STEP(trap, showKeyColour(Settings::colour(Settings::kKeyColour)));
}

void Form1::Form_KeyDown(int keyCode)
{
    if (keyCode == Qt::Key_Escape && m_run)
        emit m_run->stopAsked();
}

void Form1::PushButton1_Click()
{
    ErrorTrap trap("Form1", "PushButton1_Click");
    AddFilesByDialog(trap, this, ListView1);
}

void Form1::PushButton2_Click()
{
    ErrorTrap trap("Form1", "PushButton2_Click");
    reduceListedFiles(trap, {});
}

void Form1::reduceListedFiles(ErrorTrap& trap, RunChoice choice)
{
    // The waits of a run or a scan let clicks through: a run started inside one would read rows
    // still being added, or replace the results still being filled.
    if (isBusy())
        return;
    QStringList inputs;
    QStringList addedFrom;
    STEP(trap, {
        inputs = ListView1->rowTexts();
        addedFrom = ListView1->rowTags();
    });
    if (inputs.isEmpty()) {
        STEP(trap, msgBox(Messages::kNoFilesAdded));
        return;
    }
    choice.dither = chosenDither();
    if (choice.palette != PaletteKind::Own)
        STEP(trap, choice.keyColour = Settings::colour(Settings::kKeyColour));
    RunResult run = runReduction(trap, inputs, choice);
    NoteAddedFrom(run.records, addedFrom);
    if (run.end == RunEnd::Refused)
        STEP(trap, msgBox(Messages::kPaletteRefused.arg(choice.paletteFile, run.refusal),
                          Prompts::Buttons::Ok, Prompts::Icon::Warning));
    if (run.end != RunEnd::Finished)
        return;
    STEP(trap, Forms::form2().setRecords(run.records));
    STEP(trap, Forms::form2().show());
    STEP(trap, hide());
}

RunResult Form1::runReduction(ErrorTrap& trap, const QStringList& inputs, const RunChoice& choice)
{
    RunControl control;
    // Nobody is left to save or discard the copies once the window closes: the run stops before
    // the window's own close handling, which may end the program at once.
    CloseWatch closing([&control] { emit control.stopNow(); });
    closing.watch(this);
    const QScopedValueRollback<RunControl*> current(m_run, &control);
    RunParts parts{ProgressBar1, [this] { return Combo1->currentText(); }, &control, choice};
    return RunReduction(trap, inputs, parts);
}

void Form1::PushButton3_Click()
{
    ErrorTrap trap("Form1", "PushButton3_Click");
    AddAllFilesInFolder(trap, this, ListView1);
}

void Form1::PushButton4_Click()
{
    ErrorTrap trap("Form1", "PushButton4_Click");
    STEP(trap, LoadSampleFiles(ListView1));
}

void Form1::PushButton5_Click()
{
    ErrorTrap trap("Form1", "PushButton5_Click");
    STEP(trap, msgBox(Messages::kHelp));
}

void Form1::PushButton6_Click()
{
    ErrorTrap trap("Form1", "PushButton6_Click");
    if (isBusy())
        return;
    STEP(trap, ListView1->clearRows());
}

void Form1::Combo1_Click()
{
    // The store can fail on this platform, so the save reports rather than escaping the signal.
    ErrorTrap trap("Form1", "Combo1_Click");
    const int position = Combo1->currentIndex();
    if (position < 0)
        return;
    STEP(trap, Settings::put(Settings::kCombo1, QString::number(position)));
}

void Form1::ListView1_DblClick()
{
    if (isBusy())
        return;
    RemoveSelectedRow(ListView1);
}

void Form1::ListView1_KeyDown(int keyCode)
{
    if (keyCode == Qt::Key_Delete)
        ListView1_DblClick();
}

void Form1::ListView1_OLEDragOver(QDragMoveEvent* event)
{
    const Qt::DropAction action = FileDropAction(event->mimeData(), event->possibleActions());
    event->setDropAction(action);
    event->setAccepted(action != Qt::IgnoreAction);
}

void Form1::ListView1_OLEDragDrop(QDropEvent* event)
{
    const Qt::DropAction action = FileDropAction(event->mimeData(), event->possibleActions());
    event->setDropAction(action);
    event->setAccepted(action != Qt::IgnoreAction);
    if (action == Qt::IgnoreAction)
        return;
    // The scan runs once the drop is answered, so the program the files came from is not kept
    // waiting. It counts as busy from the drop on, so no command slips in before it starts.
    auto dropping = std::make_shared<BusyOperation>();
    QTimer::singleShot(0, this, [this, paths = DroppedLocalPaths(event->mimeData()), dropping]() mutable {
        ErrorTrap trap("Form1", "ListView1_OLEDragDrop");
        STEP(trap, AddDroppedPaths(ListView1, paths));
        dropping.reset();
    });
}

void Form1::ListView1_MouseDown(Qt::MouseButton, QPoint pos)
{
    ErrorTrap trap("Form1", "ListView1_MouseDown");
    // A scan adds rows and a run reads them: no reordering under either.
    if (isBusy())
        return;
    STEP(trap, m_reorder.press(pos));
}

void Form1::ListView1_MouseMove(Qt::MouseButtons, QPoint pos)
{
    ErrorTrap trap("Form1", "ListView1_MouseMove");
    STEP(trap, hoverBackground());
    if (isBusy())
        return;
    STEP(trap, m_reorder.move(pos));
}

void Form1::ListView1_MouseUp(Qt::MouseButton, QPoint)
{
    ErrorTrap trap("Form1", "ListView1_MouseUp");
    STEP(trap, m_reorder.release());
}

void Form1::ListView1_ContextMenu(QPoint at)
{
    Menu1->popup(at);
}

void Form1::mnuRemove_Click()
{
    ListView1_DblClick();
}

void Form1::mnuOnePalette_Click()
{
    ErrorTrap trap("Form1", "mnuOnePalette_Click");
    reduceListedFiles(trap, {PaletteKind::Shared});
}

void Form1::mnuPaletteOfFile_Click()
{
    ErrorTrap trap("Form1", "mnuPaletteOfFile_Click");
    // Refused as a run refuses, before the dialog asks for anything.
    bool listed = false;
    STEP(trap, listed = ListView1->rowCount() > 0);
    if (isBusy() || !listed) {
        reduceListedFiles(trap, {});
        return;
    }
    const QString file = choosePaletteFile(trap, this);
    if (!file.isEmpty())
        reduceListedFiles(trap, {PaletteKind::Given, file});
}

void Form1::mnuKeyColour_Click()
{
    ErrorTrap trap("Form1", "mnuKeyColour_Click");
    QString current;
    STEP(trap, current = Settings::colour(Settings::kKeyColour));
    Prompts::ColourResult chosen;
    STEP(trap, chosen = prompts().colourDialog(this, Messages::kKeyColourTitle, current));
    if (!chosen.taken)
        return;
    STEP(trap, Settings::put(Settings::kKeyColour, chosen.colour));
    STEP(trap, showKeyColour(chosen.colour));
}

void Form1::mnuDither_Click(Dither dither)
{
    ErrorTrap trap("Form1", "mnuDither_Click");
    STEP(trap, Settings::put(Settings::kDither, DitherText(dither)));
}

void Form1::showDither(Dither dither)
{
    for (QAction* a : {mnuNoDither, mnuDither, mnuPatternDither})
        if (a->data().toInt() == int(dither))
            a->setChecked(true);
}

Dither Form1::chosenDither() const
{
    for (QAction* a : {mnuDither, mnuPatternDither})
        if (a->isChecked())
            return Dither(a->data().toInt());
    return Dither::None;
}

void Form1::showKeyColour(const QString& colour)
{
    if (colour.isEmpty()) {
        mnuKeyColour->setIcon(QIcon());
        return;
    }
    QPixmap swatch(16, 16);
    swatch.fill(QColor(QLatin1Char('#') + colour));
    mnuKeyColour->setIcon(QIcon(swatch));
}

void Form1::closeEvent(QCloseEvent* event)
{
    // While the results window is shown it owns the run's copies, and its close removes them
    // before the program ends; it also waits for a save or a removal under way.
    if (Form2* results = Forms::form2IfLoaded(); results && results->isVisible()) {
        event->ignore();
        results->close();
        return;
    }
    event->accept();
    EndProgram(isBusy());
}

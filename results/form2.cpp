#include "results/form2.h"

#include "core/busy.h"
#include "core/errorreport.h"
#include "core/fileops.h"
#include "core/globals.h"
#include "core/messages.h"
#include "core/prompts.h"
#include "core/settings.h"
#include "results/preview.h"
#include "widgets/allwindows.h"
#include "widgets/skin.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>

Form2::Form2()
{
    setDesignedWindow("Form2", 8040, 5865);

    ListView1 = newControl<ListView>("ListView1", 120, 120, 7800, 3135, this);

    Frame3 = newControl<QGroupBox>("Frame3", 120, 3330, 7800, 1035, QStringLiteral("Output Filename"), this);
    Option3 = newControl<QRadioButton>("Option3", 240, 300, 2895, 255,
                                       QStringLiteral("Save x.pcx as x-reduced.pcx"), Frame3);
    Option4 = newControl<QRadioButton>("Option4", 240, 650, 2895, 255,
                                       QStringLiteral("Save x.pcx as x.pcx"), Frame3);
    Option3->setChecked(true);

    Frame1 = newControl<QGroupBox>("Frame1", 120, 4440, 7800, 810,
                                   QStringLiteral("Save File(s) To This Folder"), this);
    Text1 = newControl<QLineEdit>("Text1", 240, 300, 6660, 345, Frame1);
    PaintFixedControl(*Text1);
    PushButton7 = newControl<PushButton>("PushButton7", 6960, 300, 600, 345, QStringLiteral("..."), Frame1);

    PushButton8 = newControl<PushButton>("PushButton8", 120, 5355, 3720, 405, QStringLiteral("< Back"), this);
    PushButton6 = newControl<PushButton>("PushButton6", 3960, 5355, 3960, 405,
                                         QStringLiteral("Save Results"), this);

    // Tab order as designed.
    setTabChain({ListView1, Text1, PushButton7, PushButton8, PushButton6, Frame1, Frame3, Option4,
                 Option3});

    for (PushButton* b : {PushButton6, PushButton7, PushButton8})
        watchAsButton(b);
    for (QWidget* w : std::initializer_list<QWidget*>{ListView1->viewport(), Frame1, Frame3, Text1})
        watchAsBackground(w);

    connect(Text1, &QLineEdit::textChanged, this, [this] { Text1_Change(); });
    connect(PushButton6, &QPushButton::clicked, this, [this] { PushButton6_Click(); });
    connect(PushButton7, &QPushButton::clicked, this, [this] { PushButton7_Click(); });
    connect(PushButton8, &QPushButton::clicked, this, [this] { PushButton8_Click(); });

    m_previews = new PreviewTips(ListView1, m_records, this);
    Text1->setAccessibleName(Frame1->title());
    ListView1->setAccessibleName(Messages::kResultsName);
    PushButton6->setToolTip(Messages::kTipSave);
    PushButton7->setToolTip(Messages::kTipBrowse);
    PushButton8->setToolTip(Messages::kTipBack);
    addShortcut({QKeySequence(Qt::CTRL | Qt::Key_S)}, [this] { PushButton6_Click(); });
    // Space opens the selected row's preview; Escape closes it, or else goes back as "< Back".
    connect(ListView1, &ListView::keyPressed, this, [this](int key) {
        if (key == Qt::Key_Space)
            m_previews->showAt(ListView1->selectedRow());
    });
    addShortcut({QKeySequence(Qt::Key_Escape)}, [this] {
        if (!m_previews->hideShown())
            PushButton8_Click();
    });
    makeListMenu();
}

void Form2::makeListMenu()
{
    Menu1 = new QMenu(this);
    Menu1->setObjectName(QStringLiteral("Menu1"));
    Menu1->setToolTipsVisible(true);
    // A popup takes no colours from its window: it is given the lists' own.
    PaintFixedControl(*Menu1);
    mnuSaveResults = addMenuItem(Menu1, "mnuSaveResults", QStringLiteral("Save Results"),
                                 {QKeySequence(Qt::CTRL | Qt::Key_S)}, Messages::kTipSave, false,
                                 [this] { PushButton6_Click(); });
    mnuSaveTree = addMenuItem(Menu1, "mnuSaveTree", QStringLiteral("Save Keeping Subfolders"),
                              {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S)}, Messages::kTipSaveTree,
                              true, [this] { mnuSaveTree_Click(); });
    Menu1->addSeparator();
    mnuBack = addMenuItem(Menu1, "mnuBack", QStringLiteral("< Back"), {QKeySequence(Qt::Key_Escape)},
                          Messages::kTipBack, false, [this] { PushButton8_Click(); });
    connect(ListView1, &ListView::menuAsked, this, [this](QPoint at) { ListView1_ContextMenu(at); });
}

void Form2::Form_Load()
{
    ErrorTrap trap("Form2", "Form_Load");
    STEP(trap, ApplyFormColours(*this));
    // The options carry the colour but let their frame's shading show, instead of sitting on
    // patches of flat colour.
    STEP(trap, for (QRadioButton* o : {Option3, Option4}) o->setAutoFillBackground(false));
    STEP(trap, setWindowTitle(Globals::kProductTitle));
    STEP(trap, setWindowIcon(ApplicationIcon()));
    STEP(trap, loadHandPointer());
    // Setting the text stores it back, so the key exists from the first showing on.
    STEP(trap, Text1->setText(Settings::get(Settings::kOutputFolder)));
    STEP(trap, ListView1->setHeaderLabels(
                   {QStringLiteral("Preview"), QStringLiteral("Size Before"), QStringLiteral("Size After")}));
    STEP(trap, ListView1->setColumnWidth(0, tw(5000)));
    STEP(trap, ListView1->setColumnWidth(1, tw(1300)));
    STEP(trap, ListView1->setColumnWidth(2, tw(1300)));
}

void Form2::Text1_Change()
{
    ErrorTrap trap("Form2", "Text1_Change");
    STEP(trap, Settings::put(Settings::kOutputFolder, Text1->text()));
}

void Form2::setRecords(const ReductionRecords& records)
{
    m_previews->clear();
    m_records = records;
    ListView1->clearRows();
    for (qsizetype i = 0; i < m_records.size(); ++i) {
        const ReductionRecord& r = m_records.at(i);
        QTreeWidgetItem* row = ListView1->addRow(FileNamePart(r.inputPath));
        ListView1->setSubItem(int(i), 1, r.sizeBefore);
        ListView1->setSubItem(int(i), 2, r.sizeAfter);
        // What the preview says of how the copy was made, for a screen reader in every cell.
        if (!r.failed())
            for (int column = 0; column < 3; ++column)
                row->setData(column, Qt::AccessibleDescriptionRole, r.madeWith);
    }
}

void Form2::PushButton7_Click()
{
    if (isBusy())
        return;
    ErrorTrap trap("Form2", "PushButton7_Click");
    QString start;
    QString chosen;
    STEP(trap, start = Settings::get(Settings::kLastFolderDot));
    STEP(trap, chosen = prompts().browseForFolder(this, Messages::kSelectFolder, start));
    if (chosen.isEmpty())
        return;
    STEP(trap, Settings::put(Settings::kLastFolderDot, chosen));
    STEP(trap, Text1->setText(chosen.endsWith(QDir::separator()) ? chosen : chosen + QDir::separator()));
}

void Form2::PushButton6_Click()
{
    ErrorTrap trap("Form2", "PushButton6_Click");
    saveRows(trap, Results::Layout::Flat);
}

void Form2::mnuSaveTree_Click()
{
    ErrorTrap trap("Form2", "mnuSaveTree_Click");
    saveRows(trap, Results::Layout::KeepSubfolders);
}

void Form2::saveRows(ErrorTrap& trap, Results::Layout layout)
{
    if (isBusy())
        return;
    // Taken once: a choice changed while events run between the copies is for the next save.
    const QString folder = Text1->text();
    const Results::NamingRule rule =
        Option3->isChecked() ? Results::NamingRule::Reduced : Results::NamingRule::Own;
    bool folderExists = false;
    STEP(trap, folderExists = FolderExists(folder));
    if (!folderExists) {
        STEP(trap, msgBox(Messages::kFolderDoesNotExist));
        return;
    }
    // Said once, rather than by a report for every row.
    QString problem;
    STEP(trap, problem = Results::SaveFolderProblem(folder));
    if (!problem.isEmpty()) {
        STEP(trap, msgBox(problem, Prompts::Buttons::Ok, Prompts::Icon::Warning));
        return;
    }
    qsizetype saved = 0;
    {
        BusyOperation saving;
        Results::Saving save(m_records, folder, rule, layout);  // events run between the copies
        for (qsizetype i = 0; i < save.rowCount(); ++i) {
            QCoreApplication::processEvents();
            STEP(trap, save.saveRow(i));
        }
        saved = save.savedCount();
    }
    STEP(trap, msgBox(saved > 0 ? Messages::kDone : Messages::kNoFileSaved));
    runPendingCommand();
}

void Form2::ListView1_ContextMenu(QPoint at)
{
    Menu1->popup(at);
}

void Form2::removeWorkCopies(ErrorTrap& trap)
{
    BusyOperation deleting;
    m_previews->clear();
    const QStringList paths = mColFiles();  // events run between the deletions
    for (const QString& path : paths)
        STEP(trap, DeleteFileForced(path));
    STEP(trap, QCoreApplication::processEvents());
    STEP(trap, QCoreApplication::processEvents());
}

void Form2::PushButton8_Click()
{
    // During a save the copies are still being read: going back waits for the save to end.
    if (isBusy()) {
        m_backPending = true;
        return;
    }
    m_backPending = false;
    ErrorTrap trap("Form2", "PushButton8_Click");
    removeWorkCopies(trap);
    // A click during the removal asked for what is being done already.
    m_backPending = false;
    if (m_closePending) {
        runPendingCommand();
        return;
    }
    STEP(trap, emit backToMainWindow());
    STEP(trap, hide());
}

void Form2::Form_QueryUnload()
{
    ErrorTrap trap("Form2", "Form_QueryUnload");
    removeWorkCopies(trap);
}

void Form2::runPendingCommand()
{
    if (m_closePending) {
        m_closePending = false;
        m_backPending = false;
        close();
    } else if (m_backPending) {
        PushButton8_Click();
    }
}

void Form2::closeEvent(QCloseEvent* event)
{
    // Closing in the middle of a save would delete the copies it is still reading;
    // the close is carried out as soon as the command ends.
    if (isBusy()) {
        m_closePending = true;
        event->ignore();
        return;
    }
    Form_QueryUnload();
    m_closePending = false;
    m_backPending = false;
    event->accept();
    // Ends the program at once, though the main window is only hidden.
    EndProgram(false);
}

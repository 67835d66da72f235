#include "results/form2.h"

#include "app/errorreport.h"
#include "app/form1.h"
#include "app/forms.h"
#include "app/globals.h"
#include "app/prompts.h"
#include "app/settings.h"
#include "app/skin.h"
#include "app/startup.h"
#include "engine/fileops.h"
#include "filelist/addfolder.h"
#include "results/save.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QScreen>

namespace {

// The design colour, which the window's frames and option buttons inherit.
void paintDesignWhite(QWidget& window)
{
    QPalette pal = window.palette();
    pal.setColor(QPalette::Window, Qt::white);
    window.setPalette(pal);
    window.setAutoFillBackground(true);
}

// Marks the window busy for the length of a command that lets events run.
class BusyScope {
public:
    BusyScope(FormBase& form, bool& flag) : m_form(form), m_flag(flag)
    {
        m_flag = true;
        m_form.setMousePointer(kPointerBusy);
    }
    ~BusyScope()
    {
        m_flag = false;
        m_form.setMousePointer(kPointerDefault);
    }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

private:
    FormBase& m_form;
    bool& m_flag;
};

}  // namespace

Form2::Form2()
{
    setObjectName(QStringLiteral("Form2"));
    setFont(formFont());
    setFixedWindow(8040, 5865);

    ListView1 = new ListView(this);
    ListView1->setObjectName(QStringLiteral("ListView1"));
    place(ListView1, 120, 120, 7800, 3135);

    Frame3 = new QGroupBox(QStringLiteral("Output Filename"), this);
    Frame3->setObjectName(QStringLiteral("Frame3"));
    place(Frame3, 120, 3330, 7800, 1035);
    Option3 = new QRadioButton(QStringLiteral("Save x.pcx as x-reduced.pcx"), Frame3);
    Option3->setObjectName(QStringLiteral("Option3"));
    place(Option3, 240, 300, 2895, 255);
    Option4 = new QRadioButton(QStringLiteral("Save x.pcx as x.pcx"), Frame3);
    Option4->setObjectName(QStringLiteral("Option4"));
    place(Option4, 240, 650, 2895, 255);
    Option3->setChecked(true);

    Frame1 = new QGroupBox(QStringLiteral("Save File(s) To This Folder"), this);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    place(Frame1, 120, 4440, 7800, 810);
    Text1 = new QLineEdit(Frame1);
    Text1->setObjectName(QStringLiteral("Text1"));
    place(Text1, 240, 300, 6660, 345);
    PushButton7 = new PushButton(QStringLiteral("..."), Frame1);
    PushButton7->setObjectName(QStringLiteral("PushButton7"));
    place(PushButton7, 6960, 300, 600, 345);

    PushButton8 = new PushButton(QStringLiteral("< Back"), this);
    PushButton8->setObjectName(QStringLiteral("PushButton8"));
    place(PushButton8, 120, 5355, 3720, 405);
    PushButton6 = new PushButton(QStringLiteral("Save Results"), this);
    PushButton6->setObjectName(QStringLiteral("PushButton6"));
    place(PushButton6, 3960, 5355, 3960, 405);

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

    Text1->setAccessibleName(Frame1->title());
    // Designed white; loading gives it the desktop's colours.
    paintDesignWhite(*this);
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
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

void Form2::PushButton7_Click()
{
    if (m_busy)
        return;
    ErrorTrap trap("Form2", "PushButton7_Click");
    QString start;
    QString chosen;
    STEP(trap, start = Settings::get(Settings::kLastFolderDot));
    STEP(trap, chosen = prompts().browseForFolder(this, QStringLiteral("Please select folder:"), start));
    if (chosen.isEmpty())
        return;
    STEP(trap, Settings::put(Settings::kLastFolderDot, chosen));
    STEP(trap, Text1->setText(chosen.endsWith(QDir::separator()) ? chosen : chosen + QDir::separator()));
}

void Form2::PushButton6_Click()
{
    if (m_busy)
        return;
    ErrorTrap trap("Form2", "PushButton6_Click");
    bool folderExists = false;
    STEP(trap, folderExists = FolderExists(Text1->text()));
    if (!folderExists) {
        STEP(trap, msgBox(QStringLiteral("Folder does not exist. Please select another folder.")));
        return;
    }
    {
        BusyScope busy(*this, m_busy);
        const ListView* inputs = Forms::form1().ListView1;
        const int n = inputs->rowCount();
        QSet<QString> saved;
        for (int i = 0; i < n; ++i) {
            QCoreApplication::processEvents();
            STEP(trap, {
                if (i >= mColFiles.size())
                    throw AppError(QStringLiteral("No reduced copy for %1")
                                       .arg(QDir::toNativeSeparators(inputs->rowText(i))));
                Results::SaveRow(inputs->rowText(i), mColFiles.at(i), Text1->text(),
                                 Option3->isChecked() ? Results::NamingRule::Reduced
                                                      : Results::NamingRule::Own,
                                 saved);
            });
        }
    }
    STEP(trap, msgBox(QStringLiteral("Done.")));
    closeIfPending();
}

void Form2::removeWorkCopies(ErrorTrap& trap)
{
    const QStringList paths = mColFiles;  // events run between the deletions
    for (const QString& path : paths)
        STEP(trap, DeleteFileForced(path));
    STEP(trap, QCoreApplication::processEvents());
    STEP(trap, QCoreApplication::processEvents());
}

void Form2::PushButton8_Click()
{
    if (m_busy)
        return;
    ErrorTrap trap("Form2", "PushButton8_Click");
    {
        BusyScope busy(*this, m_busy);
        removeWorkCopies(trap);
    }
    if (closeIfPending())
        return;
    STEP(trap, Forms::form1().show());
    STEP(trap, hide());
}

void Form2::Form_QueryUnload()
{
    ErrorTrap trap("Form2", "Form_QueryUnload");
    removeWorkCopies(trap);
}

bool Form2::closeIfPending()
{
    if (!m_closePending)
        return false;
    m_closePending = false;
    close();
    return true;
}

void Form2::closeEvent(QCloseEvent* event)
{
    // Closing in the middle of a save would delete the copies it is still reading;
    // the close is carried out as soon as the command ends.
    if (m_busy) {
        m_closePending = true;
        event->ignore();
        return;
    }
    Form_QueryUnload();
    event->accept();
    // Ends the program at once, though the main window is only hidden.
    EndProgram(false);
}


// "Start Reducing": every listed file through the converter, into the results window.
#include "app/errorreport.h"
#include "app/form1.h"
#include "app/forms.h"
#include "app/prompts.h"
#include "engine/fileops.h"
#include "engine/filesize.h"
#include "engine/reduction.h"
#include "engine/shellandwait.h"
#include "engine/workfolder.h"
#include "results/form2.h"

#include <QEvent>
#include <QFile>
#include <QScopeGuard>

namespace {

bool g_reducing = false;

// Closing either window ends the program, perhaps without returning here: before the window
// handles its close, the converter is stopped and the run's copies are removed, since nobody
// is left to save or discard them. The run itself stops at its next step if it gets one.
// The filters go with the watch when the run ends.
class CloseWatch : public QObject {
public:
    void watch(QObject* window) { window->installEventFilter(this); }
    bool closing() const { return m_closing; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Close && !m_closing) {
            m_closing = true;
            CancelWait();
            if (const Form2* results = Forms::form2IfLoaded())
                for (const QString& output : results->mColFiles)
                    if (!output.isEmpty())
                        QFile::remove(output);
        }
        return QObject::eventFilter(watched, event);
    }

private:
    bool m_closing = false;
};

}  // namespace

void Form1::PushButton2_Click()
{
    ErrorTrap trap("Form1", "PushButton2_Click");
    // The wait lets clicks through; a second run would clear the results this one is filling.
    // A busy window is in the middle of another long operation on the list.
    if (g_reducing || isBusy())
        return;
    int rows = 0;
    STEP(trap, rows = ListView1->rowCount());
    if (rows == 0) {
        STEP(trap, msgBox(QStringLiteral("No files added.")));
        return;
    }
    g_reducing = true;
    const auto reducingEnds = qScopeGuard([] { g_reducing = false; });
    STEP(trap, setMousePointer(kPointerBusy));

    // Without a work folder of the user's own nothing is converted and nothing is touched.
    if (!STEP(trap, WorkFolder())) {
        STEP(trap, setMousePointer(kPointerDefault));
        return;
    }

    CloseWatch closeWatch;
    closeWatch.watch(this);
    STEP(trap, closeWatch.watch(&Forms::form2()));
    STEP(trap, Forms::form2().ListView1->clearRows());
    STEP(trap, Forms::form2().mColFiles = QStringList());

    QString converter;
    STEP(trap, WriteBytesIfAbsent(ConverterImage(), ConverterPath(),
                                  QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                      | QFileDevice::ExeOwner));
    STEP(trap, converter = ConverterPath());

    // Rows added while the run waits are left for the next run.
    const int n = ListView1->rowCount();
    QSet<QString> drawn;
    for (int i = 0; i < n && !closeWatch.closing(); ++i) {
        QString input;
        QString extension;
        QString output;
        int row = -1;
        STEP(trap, input = ListView1->rowText(i));
        STEP(trap, ProgressBar1->setValueReal(double(i + 1) / n * 100.0));
        STEP(trap, ProgressBar1->setBarText(QStringLiteral("Processing: ") + FileNamePart(input)));
        STEP(trap, setMousePointer(kPointerBusy));
        STEP(trap, row = Forms::form2().ListView1->rowCount();
             Forms::form2().ListView1->addRow(FileNamePart(input)));
        STEP(trap, Forms::form2().ListView1->setSubItem(row, 1, FormatSizeText(FileSize2(input))));
        STEP(trap, extension = InputExtension(input));
        STEP(trap, output = DrawOutputPath(WorkFolder(), extension, drawn));
        // Appended even when empty, so item i stays the output of row i.
        STEP(trap, Forms::form2().mColFiles.append(output));
        if (!output.isEmpty()) {
            STEP(trap, ShellAndWait(converter,
                                    ConverterArguments(ColourCountFromText(Combo1->currentText()),
                                                       output, input),
                                    0, ProgressBar1, ProgressBar1->barText(),
                                    ProgressBar1->value(), n));
        }
        // Success is an output file, whatever the converter's exit code said.
        STEP(trap, Forms::form2().ListView1->setSubItem(
                       row, 2,
                       IsNormalFile(output) ? FormatSizeText(FileSize2(output))
                                            : QStringLiteral("Fail to reduce")));
    }

    if (closeWatch.closing())
        return;

    STEP(trap, DeleteFileForced(BatchPath()));
    STEP(trap, setMousePointer(kPointerDefault));
    STEP(trap, ProgressBar1->setValueReal(0));
    STEP(trap, ProgressBar1->setBarText(QStringLiteral("Progress Bar")));
    STEP(trap, Forms::form2().show());
    STEP(trap, hide());
}

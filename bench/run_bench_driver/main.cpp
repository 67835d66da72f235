// Times a "Start Reducing" run over every file of a folder against the converter's own run
// times, measured by starting the same converter on the same files one after another.
//
//   palettrim_run_bench CONVERTER FOLDER
//
// Prints the figures and exits 0 when the run took at most 1.5 times the converter's own time.
#include "app/form1.h"
#include "app/forms.h"
#include "app/programservices.h"
#include "core/prompts.h"
#include "engine/reduction.h"
#include "results/form2.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>

namespace {

// Nothing may wait for a person here: messages are printed and answered "OK" or "No".
struct PrintingPrompts : Prompts {
    Answer messageBox(const QString& text, const QString&, Buttons buttons, Icon) override
    {
        std::fprintf(stderr, "message: %s\n", qPrintable(text));
        return buttons == Buttons::Ok ? Answer::Ok : Answer::No;
    }
    QString inputBox(const QString&, const QString&, const QString&) override { return {}; }
    OpenFileResult openFileDialog(QWidget*, const OpenFileOptions&) override { return {}; }
    QString browseForFolder(QWidget*, const QString&, const QString&) override { return {}; }
    bool openFolder(const QString&) override { return false; }
    bool openUrl(const QString&) override { return false; }
};

// The converter started on every file in turn, as the run starts it; milliseconds in all.
double converterOwnTime(const QString& converter, const QStringList& files, const QString& outDir)
{
    double total = 0;
    int i = 0;
    for (const QString& f : files) {
        const QString out = outDir + QStringLiteral("/o%1.pcx").arg(i++);
        QProcess p;
        p.setStandardInputFile(QProcess::nullDevice());
        p.setStandardOutputFile(QProcess::nullDevice());
        p.setStandardErrorFile(QProcess::nullDevice());
        QElapsedTimer t;
        t.start();
        p.start(converter, ConverterArguments(256, out, f));
        p.waitForFinished(-1);
        total += t.nsecsElapsed() / 1e6;
        QFile::remove(out);
    }
    return total;
}

}  // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s CONVERTER FOLDER\n", argv[0]);
        return 2;
    }
    const QString converter = QString::fromLocal8Bit(argv[1]);
    QDir folder(QString::fromLocal8Bit(argv[2]));
    QStringList files;
    for (const QString& name : folder.entryList(QDir::Files, QDir::Name))
        files << folder.absoluteFilePath(name);
    if (files.isEmpty()) {
        std::fprintf(stderr, "no files in %s\n", argv[2]);
        return 2;
    }

    QTemporaryDir work;
    QTemporaryDir scratch;
    if (!work.isValid() || !scratch.isValid())
        return 2;
    qputenv("TEMP", QFile::encodeName(work.path()));
    const QString placed = work.path() + QStringLiteral("/nconvert");
    if (!QFile::copy(converter, placed)) {
        std::fprintf(stderr, "cannot copy %s\n", argv[1]);
        return 2;
    }
    QFile::setPermissions(placed, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);

    PrintingPrompts silent;
    Services services = ProgramServices();
    services.prompts = &silent;
    installServices(std::move(services));
    Form1& f1 = Forms::form1();
    f1.Combo1->addItem(QStringLiteral("256 colors"));
    for (const QString& f : files)
        f1.ListView1->addRow(f);
    f1.show();
    Forms::form2();
    QCoreApplication::processEvents();

    const double before = converterOwnTime(placed, files, scratch.path());
    QElapsedTimer t;
    t.start();
    f1.PushButton2_Click();
    const double run = t.nsecsElapsed() / 1e6;
    const double after = converterOwnTime(placed, files, scratch.path());
    const double own = (before + after) / 2;

    const Form2& f2 = Forms::form2();
    int failed = 0;
    for (int i = 0; i < f2.ListView1->rowCount(); ++i)
        failed += f2.ListView1->subItem(i, 2) == QStringLiteral("Fail to reduce");
    const double ratio = run / own;
    std::printf("files                      %lld (results rows %d, \"Fail to reduce\" %d)\n",
                static_cast<long long>(files.size()), f2.ListView1->rowCount(), failed);
    std::printf("converter's own time       %.0f ms (%.0f before, %.0f after the run; %.2f ms a file)\n",
                own, before, after, own / files.size());
    std::printf("run's wall time            %.0f ms (%.2f ms a file)\n", run, run / files.size());
    std::printf("ratio run / converter      %.3f (goal: at most 1.5)\n", ratio);
    return ratio <= 1.5 ? 0 : 1;
}

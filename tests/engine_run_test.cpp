#include "core/fileops.h"
#include "core/messages.h"
#include "core/session.h"
#include "engine/workfolder.h"
#include "engine_fixture.h"
#include "results/form2.h"
#include "filelist/addfolder.h"
#include "support/files.h"
#include "widgets/allwindows.h"
#include "support/qt_warnings.h"

#include <QAccessible>
#include <QDir>
#include <QDropEvent>
#include <QEventLoop>
#include <QFileInfo>
#include <QMimeData>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <csignal>
#include <functional>
#include <utility>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class RunTest : public EngineTest {
protected:
    void SetUp() override
    {
        EngineTest::SetUp();
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    }
    void TearDown() override
    {
        QLocale::setDefault(QLocale::system());
        EngineTest::TearDown();
    }
    bool isOutputPath(const QString& path, const QString& extension) const
    {
        return QRegularExpression(QStringLiteral("^") + QRegularExpression::escape(work())
                                  + QStringLiteral("/tavrik[1-9]{8}\\.")
                                  + QRegularExpression::escape(extension) + QStringLiteral("$"))
            .match(path)
            .hasMatch();
    }
    static mode_t mode(const QString& path)
    {
        struct stat st = {};
        ::stat(QFile::encodeName(path).constData(), &st);
        return st.st_mode & 07777;
    }
    // A run that must refuse its work folder: one error report starting with text, and nothing
    // written into folder or converted.
    void expectRunRefused(const QString& folder, const QString& text)
    {
        const auto entries = [&folder] {
            return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System
                                          | QDir::NoDotAndDotDot);
        };
        const QStringList before = entries();
        prompts.messages.clear();
        Forms::destroyAll();
        mainWindow({inputFile(QStringLiteral("x%1.pcx").arg(++m_inputCount))}).PushButton2_Click();
        ASSERT_EQ(prompts.messages.size(), 1u);
        EXPECT_TRUE(prompts.messages[0].text.startsWith(text)) << prompts.messages[0].text.toStdString();
        EXPECT_EQ(Forms::form2IfLoaded(), nullptr);
        EXPECT_EQ(entries(), before);
    }
    // The reduced copies in the work folder, in name order.
    QStringList copiesInWork() const
    {
        return QDir(work()).entryList({QStringLiteral("tavrik*")}, QDir::Files | QDir::Hidden, QDir::Name);
    }
    int m_inputCount = 0;
};

}  // namespace

TEST_F(RunTest, ThreeFilesFromListToResults)
{
    installFakeConverter();
    logConverterCalls();
    const QString batch = work() + QStringLiteral("/nconvert.bat");  // a read-only leftover
    QFile(batch).open(QIODevice::WriteOnly);
    QFile::setPermissions(batch, QFileDevice::ReadOwner);
    // 18090, 3278 and 61581 bytes; the stand-in writes half of each.
    const QStringList files = {inputFile(QStringLiteral("a.pcx"), "pillow_24bit.pcx"),
                               inputFile(QStringLiteral("b.pcx")),
                               inputFile(QStringLiteral("c.pcx"), "allegro_mysha.pcx")};
    Form1& f1 = mainWindow(files);
    f1.Combo1->setCurrentIndex(1);  // "16 colors"
    f1.show();

    struct Moment {
        double value;
        QString text;
        int pointer;
        QString tip, description;
    };
    std::vector<Moment> seen;
    // What a screen reader reads of the bar.
    const auto described = [&f1] {
        return QAccessible::queryAccessibleInterface(f1.ProgressBar1)->text(QAccessible::Description);
    };
    RecordingTicks ticks(f1.ProgressBar1);
    ticks.onWaitBegins = [&] {
        seen.push_back({f1.ProgressBar1->valueReal(), f1.ProgressBar1->barText(), f1.mousePointer(),
                        f1.ProgressBar1->toolTip(), described()});
    };
    f1.PushButton2_Click();

    const char* before[] = {"18 KB", "3 KB", "60 KB"};
    const char* after[] = {"9 KB", "2 KB", "30 KB"};
    ASSERT_EQ(seen.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_NEAR(seen[i].value, (i + 1) * 100.0 / 3, 1e-9);
        EXPECT_EQ(seen[i].text, QStringLiteral("Processing: %1.pcx").arg(QChar('a' + i)));
        EXPECT_EQ(seen[i].pointer, kPointerBusy);
        EXPECT_EQ(seen[i].tip, QStringLiteral("File %1 of 3\nEscape stops the run").arg(i + 1));
        EXPECT_EQ(seen[i].description, seen[i].tip);
    }
    EXPECT_EQ(f1.ProgressBar1->toolTip(), QString());
    EXPECT_EQ(described(), QString());
    EXPECT_EQ(f1.ProgressBar1->valueReal(), 0);
    EXPECT_EQ(f1.ProgressBar1->barText(), QStringLiteral("Progress Bar"));
    EXPECT_EQ(f1.mousePointer(), kPointerDefault);
    EXPECT_FALSE(f1.isVisible());
    EXPECT_EQ(f1.ListView1->rowTexts(), files);
    EXPECT_FALSE(QFile::exists(batch));
    EXPECT_TRUE(prompts.messages.empty());

    const Form2& f2 = *Forms::form2IfLoaded();
    EXPECT_TRUE(f2.isVisible());
    ASSERT_EQ(f2.ListView1->rowCount(), 3);
    ASSERT_EQ(f2.mColFiles().size(), 3);
    const auto calls = converterCalls();
    ASSERT_EQ(calls.size(), 3u);
    ASSERT_EQ(f2.records().size(), 3);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(f2.records()[i].inputPath, files[i]);
        EXPECT_EQ(f2.records()[i].failure, QString());
        EXPECT_EQ(f2.ListView1->rowText(i), QStringLiteral("%1.pcx").arg(QChar('a' + i)));
        EXPECT_EQ(f2.ListView1->subItem(i, 1), QLatin1String(before[i]));
        EXPECT_EQ(f2.ListView1->subItem(i, 2), QLatin1String(after[i]));
        EXPECT_TRUE(isOutputPath(f2.mColFiles()[i], QStringLiteral("pcx")));
        EXPECT_EQ(calls[i], (QStringList{QStringLiteral("-colors"), QStringLiteral("16"),
                                         QStringLiteral("-c"), QStringLiteral("1"), QStringLiteral("-no-sync"),
                                         QStringLiteral("-o"), f2.mColFiles()[i], files[i]}));
    }
    const QStringList copies = f2.mColFiles();
    EXPECT_EQ(QSet<QString>(copies.begin(), copies.end()).size(), 3);
}

TEST_F(RunTest, FailuresShowAsFailToReduceWithoutAMessage)
{
    installFakeConverter();
    ASSERT_TRUE(QDir(inputs()).mkdir(QStringLiteral("my.photos")));
    const QString gone = inputFile(QStringLiteral("gone.pcx"));
    // "my.photos/scan": a name without an extension in a dotted folder is reduced as a PCX.
    Form1& f1 = mainWindow({inputFile(QStringLiteral("my.photos/scan")), gone,
                            inputFile(QStringLiteral("a.b.pcx"))});
    ASSERT_TRUE(QFile::remove(gone));
    f1.PushButton2_Click();
    const Form2& f2 = *Forms::form2IfLoaded();
    ASSERT_EQ(f2.mColFiles().size(), 3);
    EXPECT_EQ(f2.ListView1->subItem(0, 1), QStringLiteral("3 KB"));
    EXPECT_EQ(f2.ListView1->subItem(0, 2), QStringLiteral("2 KB"));
    EXPECT_TRUE(isOutputPath(f2.mColFiles()[0], QStringLiteral("pcx")));
    EXPECT_EQ(f2.ListView1->rowText(1), QStringLiteral("gone.pcx"));
    EXPECT_EQ(f2.ListView1->subItem(1, 1), QString());
    EXPECT_EQ(f2.ListView1->subItem(1, 2), QStringLiteral("Fail to reduce"));
    EXPECT_TRUE(isOutputPath(f2.mColFiles()[1], QStringLiteral("pcx")));
    EXPECT_EQ(f2.ListView1->subItem(2, 2), QStringLiteral("2 KB"));
    // "a.b.pcx": the extension is what follows the last dot.
    EXPECT_TRUE(isOutputPath(f2.mColFiles()[2], QStringLiteral("pcx")));
    EXPECT_EQ(f2.records()[1].failure, QStringLiteral("cannot open the file"));

    // Only the output file counts, not the exit code; the reason is the converter's own.
    const char* reasons[] = {"The converter wrote no file (exit code 1).",
                             "The converter wrote no file (exit code 0).", "not a PCX file",
                             "stopped by signal 11 (Segmentation fault)"};
    int k = 0;
    for (const char* mode : {"fail", "nothing", "complain", "crash"}) {
        qputenv("FAKECONV_MODE", mode);
        f1.PushButton2_Click();
        ASSERT_EQ(f2.mColFiles().size(), 3) << mode;
        EXPECT_EQ(f2.ListView1->subItem(2, 2), QStringLiteral("Fail to reduce")) << mode;
        EXPECT_EQ(f2.records()[2].failure, QLatin1String(reasons[k++])) << mode;
    }
    EXPECT_TRUE(prompts.messages.empty());
}

TEST_F(RunTest, AnEmptyListLeavesTheResultsAlone)
{
    Form1& f1 = mainWindow({});
    f1.PushButton2_Click();
    ASSERT_EQ(prompts.messages.size(), 1u);
    EXPECT_EQ(prompts.messages[0].text, QStringLiteral("No files added."));
    EXPECT_EQ(prompts.messages[0].icon, Prompts::Icon::None);
    EXPECT_EQ(prompts.messages[0].caption, QString());  // the application title
    EXPECT_EQ(Forms::form2IfLoaded(), nullptr);

    Form2& f2 = Forms::form2();
    f2.setRecords({{QStringLiteral("/pics/earlier.pcx"), QStringLiteral("/earlier"), {}, {}, {}}});
    f1.PushButton2_Click();
    EXPECT_EQ(f2.ListView1->rowCount(), 1);
    EXPECT_EQ(f2.mColFiles(), QStringList{QStringLiteral("/earlier")});
    EXPECT_FALSE(QFile::exists(work() + QStringLiteral("/nconvert")));
}

TEST_F(RunTest, OnlyTheProgramsOwnConverterIsRun)
{
    installFakeConverter();
    logConverterCalls();
    Form1& f1 = mainWindow({inputFile(QStringLiteral("a.pcx"))});
    const QString converter = work() + QStringLiteral("/nconvert");
    const auto inode = [&converter] {
        struct stat st = {};
        ::lstat(QFile::encodeName(converter).constData(), &st);
        return st.st_ino;
    };
    f1.PushButton2_Click();
    EXPECT_EQ(readFile(converter), ConverterImage());
    EXPECT_EQ(mode(converter), 0700u);
    // Reused as it is while it is the program's own.
    const ino_t first = inode();
    f1.PushButton2_Click();
    EXPECT_EQ(inode(), first);
    EXPECT_EQ(converterCalls().size(), 2u);

    // An older or planted program, one that others may write, or a link: replaced before use.
    const QString elsewhere = inputs() + QStringLiteral("/elsewhere");
    writeFile(elsewhere, ConverterImage());
    const std::function<void()> plants[] = {
        [&] { writeFile(converter, "an older converter"); },
        [&] {
            QByteArray altered = ConverterImage();
            altered[altered.size() / 2] = char(altered[altered.size() / 2] ^ 0x5a);
            writeFile(converter, altered);
        },
        [&] { ASSERT_TRUE(QFile::setPermissions(converter, QFile::permissions(converter) | QFileDevice::WriteOther)); },
        [&] { ASSERT_TRUE(QFile::remove(converter) && QFile::link(elsewhere, converter)); },
    };
    for (const auto& plant : plants) {
        plant();
        f1.PushButton2_Click();
        EXPECT_EQ(readFile(converter), ConverterImage());
        EXPECT_EQ(mode(converter), 0700u);
        EXPECT_FALSE(QFileInfo(converter).isSymLink());
        EXPECT_EQ(Forms::form2IfLoaded()->ListView1->subItem(0, 2), QStringLiteral("2 KB"));
    }
    if (::geteuid() == 0) {
        // Another user's file, even with the right bytes, is never run as ours.
        ASSERT_EQ(::chown(QFile::encodeName(converter).constData(), 65534, 65534), 0);
        f1.PushButton2_Click();
        struct stat st = {};
        ::stat(QFile::encodeName(converter).constData(), &st);
        EXPECT_EQ(st.st_uid, 0u);
    }
    EXPECT_TRUE(prompts.messages.empty());
    EXPECT_EQ(converterCalls().size(), ::geteuid() == 0 ? 7u : 6u);

    // One that cannot be replaced stops the run before anything is touched.
    Forms::destroyAll();
    ASSERT_TRUE(QFile::remove(converter) && QDir().mkpath(converter + QStringLiteral("/inside")));
    Form1& again = mainWindow({inputFile(QStringLiteral("b.pcx"))});
    again.PushButton2_Click();
    ASSERT_EQ(prompts.messages.size(), 1u);
    EXPECT_EQ(prompts.messages[0].caption, QStringLiteral("Application Error"));
    EXPECT_TRUE(prompts.messages[0].text.startsWith(
        QStringLiteral("The converter %1 is not this program's own and cannot be replaced").arg(converter)));
    EXPECT_EQ(Forms::form2IfLoaded(), nullptr);
    EXPECT_FALSE(again.isBusy());
    EXPECT_EQ(converterCalls().size(), ::geteuid() == 0 ? 7u : 6u);
}

TEST_F(RunTest, TheWaitShowsTheFileAndTheColourCountIsReadForEveryFile)
{
    installFakeConverter();
    logConverterCalls();
    Form1& f1 = mainWindow({inputFile(QStringLiteral("a.pcx")), inputFile(QStringLiteral("b.pcx"))});
    RecordingTicks ticks(f1.ProgressBar1);
    ticks.ticksPerWait = 200;
    // The user picks another count while the first file is converted.
    ticks.onWaitBegins = [&] {
        if (ticks.waits == 1)
            f1.Combo1->setCurrentIndex(1);
    };
    f1.PushButton2_Click();
    ASSERT_EQ(ticks.afterTick.size(), 400u);
    // The first of two files: the wait starts from the bar's text and value (50), with the run's
    // file count setting the step (5).
    EXPECT_EQ(ticks.afterTick[48].text, QStringLiteral("Processing: a.pcx"));
    EXPECT_EQ(ticks.afterTick[49].text, QStringLiteral("Processing: a.pcx, Please wait.. 0"));
    EXPECT_EQ(ticks.afterTick[198].value, 50);
    EXPECT_EQ(ticks.afterTick[199].value, 55);
    EXPECT_EQ(ticks.afterTick[249].text, QStringLiteral("Processing: b.pcx, Please wait.. 0"));
    // Two converters side by side: either may log its file first.
    auto calls = converterCalls();
    ASSERT_EQ(calls.size(), 2u);
    std::sort(calls.begin(), calls.end(), [](const QStringList& x, const QStringList& y) { return x.last() < y.last(); });
    EXPECT_TRUE(calls[0].last().endsWith(QStringLiteral("/a.pcx")));
    EXPECT_EQ(calls[0][1], QStringLiteral("256"));
    EXPECT_EQ(calls[1][1], QStringLiteral("16"));
}

TEST_F(RunTest, TheConverterIsGivenItsLoadTimeSettingsAndTheUsersOwnStand)
{
    installFakeConverter();
    const QString log = inputs() + QStringLiteral("/env");
    const ScopedEnv logged("FAKECONV_ENV_LOG", log);
    const ScopedEnv policy("OMP_WAIT_POLICY", QString());
    const ScopedEnv tunables("GLIBC_TUNABLES", QString());
    qunsetenv("OMP_WAIT_POLICY");
    qunsetenv("GLIBC_TUNABLES");
    Form1& f1 = mainWindow({inputFile(QStringLiteral("a.pcx"))});
    f1.PushButton2_Click();
    // Set, the converter does not start itself a second time to set them.
    EXPECT_EQ(readFile(log), "OMP_WAIT_POLICY=passive\nGLIBC_TUNABLES=glibc.malloc.hugetlb=1\n"
                             "OMP_NUM_THREADS\n--\n");
    EXPECT_FALSE(qEnvironmentVariableIsSet("OMP_WAIT_POLICY"));

    QFile::remove(log);
    qputenv("OMP_WAIT_POLICY", "active");
    qputenv("GLIBC_TUNABLES", "glibc.malloc.arena_max=1");
    Forms::form2IfLoaded()->hide();
    f1.PushButton2_Click();
    EXPECT_EQ(readFile(log), "OMP_WAIT_POLICY=active\nGLIBC_TUNABLES=glibc.malloc.arena_max=1\n"
                             "OMP_NUM_THREADS\n--\n");
}

TEST_F(RunTest, EscapeEndsTheFileInProgressAndSavingPassesOverTheStoppedRows)
{
    installFakeConverter();
    logConverterCalls();
    const QStringList files = {inputFile(QStringLiteral("a.pcx")), inputFile(QStringLiteral("b.pcx")),
                               inputFile(QStringLiteral("c.pcx"), "allegro_mysha.pcx"),
                               inputFile(QStringLiteral("d.pcx"))};
    // The third converter holds until it is asked to end.
    const ScopedEnv hold("FAKECONV_HOLD", files[2]);
    Form1& f1 = mainWindow(files);
    f1.show();
    f1.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&f1));
    RecordingTicks ticks(f1.ProgressBar1);
    bool held = false;
    ticks.onWaitBegins = [&] {
        if (ticks.waits != 3)
            return;
        QTimer::singleShot(0, &f1, [&] {
            held = QTest::qWaitFor([&] { return holding(); }, 20000);
            QTest::keyClick(f1.ListView1, Qt::Key_Escape);
        });
    };
    f1.PushButton2_Click();
    EXPECT_TRUE(held);
    // The file after it waited in the converter's pipe and was never begun.
    EXPECT_EQ(ticks.waits, 4);
    EXPECT_EQ(converterCalls().size(), 3u);
    EXPECT_FALSE(holding());
    Form2& f2 = *Forms::form2IfLoaded();
    EXPECT_TRUE(f2.isVisible());
    EXPECT_EQ(f1.ProgressBar1->barText(), QStringLiteral("Progress Bar"));
    EXPECT_EQ(f1.ProgressBar1->valueReal(), 0);
    ASSERT_EQ(f2.ListView1->rowCount(), 4);
    ASSERT_EQ(f2.records().size(), 4);
    const char* before[] = {"3 KB", "3 KB", "60 KB", "3 KB"};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(f2.ListView1->rowText(i), QFileInfo(files[i]).fileName());
        EXPECT_EQ(f2.ListView1->subItem(i, 1), QLatin1String(before[i]));
        EXPECT_EQ(f2.records()[i].stopped, i >= 2);
    }
    EXPECT_EQ(f2.ListView1->subItem(1, 2), QStringLiteral("2 KB"));
    for (int i : {2, 3}) {
        EXPECT_EQ(f2.ListView1->subItem(i, 2), QStringLiteral("Fail to reduce"));
        EXPECT_EQ(f2.records()[i].failure, QStringLiteral("stopped"));
        EXPECT_EQ(f2.records()[i].workCopy, QString());
    }

    QTemporaryDir out;
    f2.Text1->setText(out.path());
    f2.PushButton6_Click();
    ASSERT_EQ(prompts.messages.size(), 1u);
    EXPECT_EQ(prompts.messages[0].text, QStringLiteral("Done."));
    EXPECT_EQ(QDir(out.path()).entryList(QDir::Files), QStringList({"a-reduced.pcx", "b-reduced.pcx"}));

    // The next run starts without the request.
    f2.hide();
    const ScopedEnv free("FAKECONV_HOLD", QString());
    f1.PushButton2_Click();
    EXPECT_EQ(converterCalls().size(), 7u);
}

TEST_F(RunTest, EscapeEndsAConverterThatNeverEndsAndTheFinishedRowsStay)
{
    installFakeConverter();
    const QStringList files = {inputFile(QStringLiteral("a.pcx")), inputFile(QStringLiteral("b.pcx")),
                               inputFile(QStringLiteral("c.pcx")), inputFile(QStringLiteral("d.pcx"))};
    // The second converter never ends of itself (the stand-in gives up after 30 s), and does
    // not heed the request to end.
    const ScopedEnv hold("FAKECONV_HOLD", files[1]);
    const ScopedEnv term("FAKECONV_ON_TERM", QStringLiteral("ignore"));
    const QString note = inputs() + QStringLiteral("/asked-to-end");
    const ScopedEnv noted("FAKECONV_TERM_NOTE", note);
    Form1& f1 = mainWindow(files);
    f1.show();
    RecordingTicks ticks(f1.ProgressBar1);
    bool held = false;
    ticks.onWaitBegins = [&] {
        if (ticks.waits != 2)
            return;
        // As the user's keys come: from the event loop, while the converter holds the second
        // file and the third waits in its pipe (handed once the first's end line is read).
        QTimer::singleShot(0, &f1, [&] {
            held = QTest::qWaitFor([&] { return holding() && ticks.waits == 3; }, 20000);
            f1.Form_KeyDown(Qt::Key_Escape);
        });
    };
    f1.PushButton2_Click();
    EXPECT_TRUE(held);
    EXPECT_EQ(ticks.waits, 3);
    EXPECT_FALSE(f1.isVisible());
    EXPECT_EQ(f1.ProgressBar1->barText(), QStringLiteral("Progress Bar"));
    Form2& f2 = *Forms::form2IfLoaded();
    EXPECT_TRUE(f2.isVisible());
    ASSERT_EQ(f2.records().size(), 4);
    EXPECT_EQ(f2.ListView1->subItem(0, 2), QStringLiteral("2 KB"));
    EXPECT_FALSE(f2.records()[0].stopped);
    // The one ended in flight reads as the two never started.
    for (int i = 1; i < 4; ++i) {
        EXPECT_EQ(f2.ListView1->subItem(i, 1), QStringLiteral("3 KB")) << i;
        EXPECT_EQ(f2.ListView1->subItem(i, 2), QStringLiteral("Fail to reduce")) << i;
        EXPECT_EQ(f2.records()[i].failure, QStringLiteral("stopped")) << i;
        EXPECT_TRUE(f2.records()[i].stopped) << i;
        EXPECT_EQ(f2.records()[i].workCopy, QString()) << i;
    }
    // Asked to end, then killed, and what it was writing removed.
    EXPECT_TRUE(QFile::remove(note));
    EXPECT_FALSE(holding());
    EXPECT_EQ(copiesInWork(), QStringList{FileNamePart(f2.records()[0].workCopy)});

    // Going back removes the one copy there is, and names no other.
    const QtWarnings warnings;
    f2.PushButton8_Click();
    EXPECT_EQ(copiesInWork(), QStringList());
    EXPECT_EQ(warnings.containing(QStringLiteral("QFile")), QStringList());
    EXPECT_TRUE(prompts.messages.empty());
}

TEST_F(RunTest, ABoxOpenedDuringARunHoldsNoFileBack)
{
    installFakeConverter();
    QTemporaryDir dropped;
    writeFile(dropped.filePath(QStringLiteral("x.pcx")), "PCX");
    struct Box {
        const char* name;
        std::function<void(Form1&)> open;
    };
    const Box boxes[] = {
        {"Add PCX File(s)", [](Form1& f) { f.PushButton1_Click(); }},
        {"Add All PCX File(s) In Folder", [](Form1& f) { f.PushButton3_Click(); }},
        {"Load Sample/Example Files", [](Form1& f) { f.PushButton4_Click(); }},
        {"Help", [](Form1& f) { f.PushButton5_Click(); }},
        {"the scan of a dropped folder", [&dropped](Form1& f) {
             QMimeData data;
             data.setUrls({QUrl::fromLocalFile(dropped.path())});
             QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
             f.ListView1_OLEDragDrop(&drop);
         }},
    };
    constexpr int kFiles = 6;
    QStringList files;
    for (int i = 0; i < kFiles; ++i)
        files << inputFile(QStringLiteral("%1.pcx").arg(i));
    const auto restore = qScopeGuard([this] {
        prompts.whileOpen = {};
        ResetService(&Services::openFolder);
    });
    for (const Box& box : boxes) {
        Forms::destroyAll();
        Form1& f1 = mainWindow(files);
        f1.show();
        RecordingTicks ticks(f1.ProgressBar1);
        // Open, as a modal box is, until the last file has started.
        QEventLoop openBox;
        int startsBeforeOpen = -1;
        int startsWhileOpen = 0;
        bool isOpen = false;
        const auto hold = [&] {
            startsBeforeOpen = ticks.waits;
            if (ticks.waits == kFiles)
                return;
            isOpen = true;
            QTimer::singleShot(20000, &openBox, &QEventLoop::quit);
            openBox.exec();
            isOpen = false;
        };
        prompts.whileOpen = hold;
        SetService(&Services::openFolder, [&, scanned = false](const QString& folder, int& err) mutable {
            if (!std::exchange(scanned, true))
                hold();
            return OpenFolderEntries(folder, err);
        });
        ticks.onWaitBegins = [&] {
            startsWhileOpen += isOpen;
            if (ticks.waits == 2)  // as the user's click comes, from the event loop
                QTimer::singleShot(0, &f1, [&] { box.open(f1); });
            if (ticks.waits == kFiles && isOpen)
                openBox.quit();
        };
        f1.PushButton2_Click();
        // Every file after the box opened started while it was open, and the run ended once
        // it was closed.
        ASSERT_GE(startsBeforeOpen, 2) << box.name;
        EXPECT_LE(startsBeforeOpen, kFiles - 2) << box.name;
        EXPECT_EQ(startsWhileOpen, kFiles - startsBeforeOpen) << box.name;
        ASSERT_NE(Forms::form2IfLoaded(), nullptr) << box.name;
        const Form2& f2 = *Forms::form2IfLoaded();
        EXPECT_TRUE(f2.isVisible()) << box.name;
        ASSERT_EQ(f2.records().size(), kFiles) << box.name;
        for (int i = 0; i < kFiles; ++i)
            EXPECT_EQ(f2.ListView1->subItem(i, 2), QStringLiteral("2 KB")) << box.name << i;
        prompts.whileOpen = {};
        ResetService(&Services::openFolder);
    }
    EXPECT_EQ(Forms::form1().ListView1->rowTexts(), files + QStringList{dropped.filePath(QStringLiteral("x.pcx"))});
}

TEST_F(RunTest, NoSecondRunInsideARunAndClosingEndsItAtOnce)
{
    installFakeConverter();
    Form1& f1 = mainWindow({inputFile(QStringLiteral("a.pcx")), inputFile(QStringLiteral("b.pcx"))});
    f1.show();
    RecordingTicks ticks(f1.ProgressBar1);
    ticks.onWaitBegins = [&] {
        if (ticks.waits == 1)
            f1.PushButton2_Click();
    };
    f1.PushButton2_Click();
    EXPECT_EQ(ticks.waits, 2);
    EXPECT_EQ(Forms::form2IfLoaded()->mColFiles().size(), 2);

    // Closing the window during the second conversion ends the program at once: the converter
    // is stopped and the copies the run made are removed before the window's own close.
    bool endedWhileRunning = false;
    SetService(&Services::endProgram, [&](bool running) { endedWhileRunning = running; });
    const auto restore = qScopeGuard([] { ResetService(&Services::endProgram); });
    Forms::form2IfLoaded()->hide();
    f1.show();
    const QStringList firstRunsCopies = copiesInWork();
    ASSERT_EQ(firstRunsCopies.size(), 2);
    // The second converter holds (30 s, then it gives up) until it is asked to end.
    const ScopedEnv hold("FAKECONV_HOLD", inputs() + QStringLiteral("/b.pcx"));
    const QString note = inputs() + QStringLiteral("/terminated");
    const ScopedEnv noted("FAKECONV_TERM_NOTE", note);
    ticks.waits = 0;
    ticks.onWaitBegins = [&] {
        if (ticks.waits == 2) {
            ASSERT_TRUE(QTest::qWaitFor([&] { return holding(); }, 20000));
            f1.window()->close();  // the desktop's close request reaches the form shown
        }
    };
    f1.PushButton2_Click();
    EXPECT_TRUE(QFile::exists(note)) << "the converter was not asked to end";
    EXPECT_TRUE(endedWhileRunning);
    EXPECT_EQ(ticks.waits, 2);
    EXPECT_FALSE(Forms::form2IfLoaded()->isVisible());
    EXPECT_EQ(copiesInWork(), firstRunsCopies);
    EXPECT_TRUE(prompts.messages.empty());
}

TEST_F(RunTest, WithoutTempTheWorkFolderIsPrivate)
{
    qputenv("TEMP", "");
    const QByteArray savedCache = qgetenv("XDG_CACHE_HOME");
    const auto restore = qScopeGuard([&] { qputenv("XDG_CACHE_HOME", savedCache); });
    qputenv("XDG_CACHE_HOME", QFile::encodeName(inputs()));
    const QString folder = inputs() + QStringLiteral("/palettrim");
    Form1& f1 = mainWindow({inputFile(QStringLiteral("a.pcx"))});
    f1.PushButton2_Click();
    EXPECT_TRUE(QFileInfo(folder).isDir());
    EXPECT_EQ(mode(folder), 0700u);
    EXPECT_TRUE(Forms::form2IfLoaded()->mColFiles()[0].startsWith(folder + QLatin1Char('/')));
    EXPECT_TRUE(prompts.messages.empty());

    // Not a folder, or another user's: reported, and nothing converted or touched.
    Forms::destroyAll();
    ASSERT_TRUE(QDir(folder).removeRecursively());
    QFile(folder).open(QIODevice::WriteOnly);
    Form1& again = mainWindow({inputFile(QStringLiteral("b.pcx"))});
    again.PushButton2_Click();
    ASSERT_EQ(prompts.messages.size(), 1u);
    EXPECT_EQ(prompts.messages[0].caption, QStringLiteral("Application Error"));
    EXPECT_TRUE(prompts.messages[0].text.contains(
        QStringLiteral("in Colorpare2021/08/31.Form1.PushButton2_Click at line ")));
    EXPECT_EQ(Forms::form2IfLoaded(), nullptr);
    EXPECT_EQ(again.mousePointer(), kPointerDefault);
    if (::geteuid() == 0) {
        ASSERT_TRUE(QFile::remove(folder) && QDir().mkdir(folder));
        ASSERT_EQ(::chown(QFile::encodeName(folder).constData(), 65534, 65534), 0);
        again.PushButton2_Click();
        EXPECT_EQ(prompts.messages.size(), 2u);
        EXPECT_FALSE(QFile::exists(folder + QStringLiteral("/nconvert")));
    }
}

TEST_F(RunTest, AWorkFolderOthersMayChangeIsRefusedBeforeAnythingIsWritten)
{
    installFakeConverter();
    const QString open = inputs() + QStringLiteral("/open");
    const QString folder = open + QStringLiteral("/work");
    ASSERT_TRUE(QDir().mkpath(folder));
    ASSERT_TRUE(QFile::link(folder, inputs() + QStringLiteral("/link")));
    ScopedEnv temp("TEMP", folder);
    // Writable by everybody without the sticky bit: the folder on the way, the folder itself,
    // or where a link leads.
    ASSERT_EQ(::chmod(QFile::encodeName(open).constData(), 0777), 0);
    expectRunRefused(folder, Messages::kWorkFolderOpenToOthers.arg(folder, open));
    {
        ScopedEnv viaLink("TEMP", inputs() + QStringLiteral("/link"));
        expectRunRefused(folder, Messages::kWorkFolderOpenToOthers.arg(inputs() + QStringLiteral("/link"), open));
    }
    ASSERT_EQ(::chmod(QFile::encodeName(open).constData(), 0700), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(folder).constData(), 0777), 0);
    expectRunRefused(folder, Messages::kWorkFolderOpenToOthers.arg(folder, folder));

    // With the sticky bit others cannot remove or rename what is ours there.
    ASSERT_EQ(::chmod(QFile::encodeName(folder).constData(), 01777), 0);
    prompts.messages.clear();
    Form1& f1 = mainWindow({inputFile(QStringLiteral("a.pcx"))});
    f1.PushButton2_Click();
    EXPECT_TRUE(prompts.messages.empty());
    ASSERT_NE(Forms::form2IfLoaded(), nullptr);
    EXPECT_EQ(Forms::form2IfLoaded()->ListView1->subItem(0, 2), QStringLiteral("2 KB"));
}

TEST(WorkFolderRisk, EveryFolderOnThePathBelongsToTheUserOrRoot)
{
    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("work"));
    ASSERT_TRUE(QDir().mkpath(folder));
    // Run as root, the folders get an ordinary owner; the user is then whoever owns them.
    for (const QString& f : {dir.path(), folder})
        if (::geteuid() == 0) {
            ASSERT_EQ(::chown(QFile::encodeName(f).constData(), 65534, 65534), 0);
        }
    struct stat st = {};
    ASSERT_EQ(::stat(QFile::encodeName(folder).constData(), &st), 0);
    // Its parents belong to root or to the owner: safe for the owner.
    EXPECT_EQ(WorkFolderRisk(folder, st.st_uid), QString());
    // Anybody else would run what the owner may swap.
    EXPECT_EQ(WorkFolderRisk(folder, st.st_uid + 1),
              Messages::kWorkFolderOthersOwn.arg(folder, dir.path()));
    // Root's folders are nobody else's: "/" is on every path.
    EXPECT_EQ(WorkFolderRisk(QStringLiteral("/"), 4242), QString());
}

namespace {

// A small file system of its own for the work folder; only root may mount one.
class WorkFolderMount {
public:
    WorkFolderMount(const QString& at, const char* options) : m_at(QFile::encodeName(at))
    {
        m_mounted = QDir().mkpath(at)
            && ::mount("tmpfs", m_at.constData(), "tmpfs", 0, options) == 0;
    }
    ~WorkFolderMount()
    {
        if (m_mounted)
            ::umount2(m_at.constData(), MNT_DETACH);
    }
    bool mounted() const { return m_mounted; }
    bool remountReadOnly()
    {
        return ::mount("tmpfs", m_at.constData(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }

private:
    QByteArray m_at;
    bool m_mounted = false;
};

// Fills the file system holding folder to its last byte.
void fill(const QString& folder)
{
    QFile filler(folder + QStringLiteral("/filler%1").arg(QDir(folder).count()));
    ASSERT_TRUE(filler.open(QIODevice::WriteOnly));
    const QByteArray block(4096, 'x');
    while (filler.write(block) == block.size() && filler.flush()) {
    }
    filler.close();
    QFile last(folder + QStringLiteral("/last"));
    if (last.open(QIODevice::Append))
        while (last.write("x", 1) == 1 && last.flush()) {
        }
}

}  // namespace

TEST_F(RunTest, AReadOnlyWorkFolderIsNamedBeforeTheFirstFile)
{
    installFakeConverter();
    const QString folder = inputs() + QStringLiteral("/work");
    ASSERT_TRUE(QDir().mkpath(folder));
    ScopedEnv temp("TEMP", folder);
    if (::geteuid() == 0) {
        WorkFolderMount mount(folder, "size=4m");
        if (!mount.mounted())
            GTEST_SKIP() << "root cannot mount a file system here";
        ASSERT_TRUE(mount.remountReadOnly());
        expectRunRefused(folder,
                           Messages::kWorkFolderNotWritable.arg(folder, QStringLiteral("Read-only file system")));
        return;
    }
    // Without the converter there, and with it: the folder is what is wrong, not the converter.
    const QString denied = QString::fromLocal8Bit(std::strerror(EACCES));
    ASSERT_EQ(::chmod(QFile::encodeName(folder).constData(), 0500), 0);
    expectRunRefused(folder, Messages::kWorkFolderNotWritable.arg(folder, denied));
    ASSERT_EQ(::chmod(QFile::encodeName(folder).constData(), 0700), 0);
    mainWindow({inputFile(QStringLiteral("a.pcx"))}).PushButton2_Click();
    ASSERT_TRUE(QFile::exists(folder + QStringLiteral("/nconvert")));
    ASSERT_EQ(::chmod(QFile::encodeName(folder).constData(), 0500), 0);
    expectRunRefused(folder, Messages::kWorkFolderNotWritable.arg(folder, denied));
}

TEST_F(RunTest, AFullWorkFolderIsNamedBeforeTheFirstFile)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "a full file system of its own needs root to mount";
    installFakeConverter();
    const QString folder = inputs() + QStringLiteral("/work");
    WorkFolderMount mount(folder, "size=4m");
    if (!mount.mounted())
        GTEST_SKIP() << "root cannot mount a file system here";
    ScopedEnv temp("TEMP", folder);
    // With the converter already there every row would fail; without it, it could not be
    // written.
    mainWindow({inputFile(QStringLiteral("a.pcx"))}).PushButton2_Click();
    ASSERT_TRUE(QFile::exists(folder + QStringLiteral("/nconvert")));
    fill(folder);
    expectRunRefused(folder, Messages::kWorkFolderFull.arg(folder));
    ASSERT_TRUE(QFile::remove(folder + QStringLiteral("/nconvert")));
    fill(folder);
    expectRunRefused(folder, Messages::kWorkFolderFull.arg(folder));
}

TEST_F(RunTest, ASignalDuringARunStopsItAndRemovesItsCopies)
{
    installFakeConverter();
    const ScopedEnv hold("FAKECONV_HOLD", inputs() + QStringLiteral("/a.pcx"));
    const QString note = inputs() + QStringLiteral("/terminated");
    const ScopedEnv noted("FAKECONV_TERM_NOTE", note);
    Form1& f1 = mainWindow({inputFile(QStringLiteral("a.pcx")), inputFile(QStringLiteral("b.pcx"))});
    f1.show();
    std::vector<bool> ended;
    SetService(&Services::endProgram, [&](bool running) { ended.push_back(running); });
    InstallSessionEndHandlers(CloseForSessionEnd);
    const auto restore = qScopeGuard([] {
        RemoveSessionEndHandlers();
        ResetService(&Services::endProgram);
    });
    RecordingTicks ticks(f1.ProgressBar1);
    ticks.onWaitBegins = [&] {
        ASSERT_TRUE(QTest::qWaitFor([&] { return holding(); }, 20000));
        ::raise(SIGTERM);
    };
    f1.PushButton2_Click();
    EXPECT_TRUE(QFile::exists(note)) << "the converter was not asked to end";
    EXPECT_EQ(ended, std::vector<bool>{true});
    EXPECT_EQ(ticks.waits, 2);  // the second waited in the pipe
    EXPECT_EQ(copiesInWork(), QStringList());
    EXPECT_EQ(Forms::form2IfLoaded(), nullptr);
    EXPECT_FALSE(f1.isBusy());
}

TEST_F(RunTest, ClosingWhileTheConverterWritesLeavesNoHiddenFileOfTheRun)
{
    installFakeConverter();
    const QString a = inputFile(QStringLiteral("a.pcx"));
    const QString b = inputFile(QStringLiteral("b.pcx"));
    // What another copy of the program may be writing in the same folder is not the run's.
    const QString theirs = work() + QStringLiteral("/.tavrik12345678.pcx.Ab3dEf");
    writeFile(theirs, "theirs");
    const ScopedEnv hold("FAKECONV_HOLD", b);
    const QString note = inputs() + QStringLiteral("/terminated");
    const ScopedEnv noted("FAKECONV_TERM_NOTE", note);
    SetService(&Services::endProgram, [](bool) {});
    const auto restore = qScopeGuard([] { ResetService(&Services::endProgram); });
    const auto hidden = [this] {
        return QDir(work()).entryList({QStringLiteral(".tavrik*")}, QDir::Files | QDir::Hidden);
    };
    // A converter that removes its own file when asked to end, and one stopped before it could.
    for (const char* onTerm : {"clean", "leave"}) {
        const ScopedEnv term("FAKECONV_ON_TERM", QString::fromLatin1(onTerm));
        Forms::destroyAll();
        Form1& f1 = mainWindow({a, b});
        f1.show();
        RecordingTicks ticks(f1.ProgressBar1);
        ticks.onWaitBegins = [&] {
            if (ticks.waits != 2)
                return;
            ASSERT_TRUE(QTest::qWaitFor([&] { return hidden().size() == 2; }, 20000));
            f1.close();
        };
        f1.PushButton2_Click();
        EXPECT_EQ(hidden(), QStringList{FileNamePart(theirs)}) << onTerm;
        EXPECT_EQ(copiesInWork(), QStringList()) << onTerm;
        // Asked to end, not killed outright.
        EXPECT_TRUE(QFile::remove(note)) << onTerm;
    }
}

TEST_F(RunTest, AScanEndingInsideARunLeavesTheListLockedAndEveryFileSavedUnderItsOwnName)
{
    installFakeConverter();
    const QStringList files = {inputFile(QStringLiteral("A.pcx"), "pillow_24bit.pcx"),
                               inputFile(QStringLiteral("B.pcx")),
                               inputFile(QStringLiteral("C.pcx"), "allegro_mysha.pcx")};
    std::vector<QByteArray> originals;
    for (const QString& f : files)
        originals.push_back(readFile(f));
    QTemporaryDir more;
    writeFile(more.filePath(QStringLiteral("extra.pcx")), "PCX");
    Form1& f1 = mainWindow(files);
    f1.ListView1->setHeaderLabels({QStringLiteral("PCX File(s)")});
    f1.show();

    bool busyAfterScan = false;
    RecordingTicks ticks(f1.ProgressBar1);
    ticks.onWaitBegins = [&] {
        if (ticks.waits != 1)
            return;
        // "Add All" runs to its end while the first file is converted...
        prompts.inputs.push_back(QStringLiteral("pcx"));
        prompts.folders.push_back(more.path());
        f1.PushButton3_Click();
        busyAfterScan = f1.isBusy();
        // ...and removing, clearing and dragging rows are still refused.
        f1.ListView1->selectRow(0);
        f1.ListView1_KeyDown(Qt::Key_Delete);
        f1.ListView1_DblClick();
        f1.PushButton6_Click();
        const auto centre = [&](int row) {
            return f1.ListView1->visualItemRect(f1.ListView1->topLevelItem(row)).center();
        };
        f1.ListView1_MouseDown(Qt::LeftButton, centre(2));
        f1.ListView1_MouseMove(Qt::LeftButton, centre(0));
        f1.ListView1_MouseUp(Qt::LeftButton, centre(0));
    };
    f1.PushButton2_Click();
    EXPECT_TRUE(busyAfterScan);
    EXPECT_EQ(f1.ListView1->rowTexts(), files + QStringList{more.filePath(QStringLiteral("extra.pcx"))});
    Form2& f2 = *Forms::form2IfLoaded();
    ASSERT_EQ(f2.records().size(), 3);  // the row added during the run waits for the next one

    // Saved under the files' own names into their own folder: each gets its own reduced copy.
    f2.Option4->setChecked(true);
    f2.Text1->setText(inputs());
    f2.PushButton6_Click();
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(readFile(files[i]), originals[i].left(originals[i].size() / 2)) << i;
    EXPECT_EQ(prompts.messageTexts(), QStringList{QStringLiteral("Done.")});
}

TEST_F(RunTest, ANamedPipeInTheListFailsWithTheConvertersReasonAndTheRunGoesOn)
{
    // The real converter: it must refuse the pipe rather than wait for a writer.
    const QString pipe = inputs() + QStringLiteral("/pipe.pcx");
    ASSERT_EQ(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
    Form1& f1 = mainWindow({pipe, inputFile(QStringLiteral("a.pcx"))});
    f1.PushButton2_Click();
    const Form2& f2 = *Forms::form2IfLoaded();
    ASSERT_EQ(f2.records().size(), 2);
    EXPECT_EQ(f2.ListView1->subItem(0, 1), QString());
    EXPECT_EQ(f2.ListView1->subItem(0, 2), QStringLiteral("Fail to reduce"));
    EXPECT_EQ(f2.records()[0].failure, QStringLiteral("not a regular file"));
    EXPECT_NE(f2.ListView1->subItem(1, 2), QStringLiteral("Fail to reduce"));
    EXPECT_TRUE(prompts.messages.empty());
}

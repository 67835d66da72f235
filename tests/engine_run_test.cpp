#include "engine/filesize.h"
#include "engine/workfolder.h"
#include "engine_fixture.h"
#include "results/form2.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTimer>
#include <QFileInfo>
#include <QLocale>
#include <QRegularExpression>

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
    QString outputPattern(const QString& extension) const
    {
        return QStringLiteral("^") + QRegularExpression::escape(work())
            + QStringLiteral("/tavrik[1-9]{8}\\.") + QRegularExpression::escape(extension)
            + QStringLiteral("$");
    }
};

struct Moment {
    double value;
    QString text;
    int pointer;
    int resultRows;
    qsizetype outputs;
};

}  // namespace

TEST_F(RunTest, ThreeFilesFromListToResults)
{
    installFakeConverter();
    logConverterCalls();
    // 18090, 3278 and 61581 bytes; the stand-in writes half of each.
    const QStringList files = {inputFile(QStringLiteral("a.pcx"), QStringLiteral("pillow_24bit.pcx")),
                               inputFile(QStringLiteral("b.pcx")),
                               inputFile(QStringLiteral("c.pcx"), QStringLiteral("allegro_mysha.pcx"))};
    Form1& f1 = mainWindow(files);
    f1.Combo1->setCurrentIndex(4);  // "16 colors"
    f1.show();

    RecordingTicks ticks(f1.ProgressBar1);
    std::vector<Moment> seen;
    ticks.onWaitBegins = [&] {
        Form2* f2 = Forms::form2IfLoaded();
        seen.push_back({f1.ProgressBar1->valueReal(), f1.ProgressBar1->barText(), f1.mousePointer(),
                        f2 ? f2->ListView1->rowCount() : -1, f2 ? f2->mColFiles.size() : -1});
    };
    f1.PushButton2_Click();

    EXPECT_TRUE(prompts.messages.empty());
    ASSERT_EQ(seen.size(), 3u);
    const double shares[] = {100.0 / 3, 200.0 / 3, 100.0};
    for (int i = 0; i < 3; ++i) {
        EXPECT_NEAR(seen[i].value, shares[i], 1e-9);
        EXPECT_EQ(seen[i].text, QStringLiteral("Processing: ") + QStringLiteral("abc")[i]
                                    + QStringLiteral(".pcx"));
        EXPECT_EQ(seen[i].pointer, kPointerBusy);
        EXPECT_EQ(seen[i].resultRows, i + 1);
        EXPECT_EQ(seen[i].outputs, i + 1);
    }

    // Rest state: bar, pointer, windows swapped, main list intact.
    EXPECT_EQ(f1.ProgressBar1->valueReal(), 0);
    EXPECT_EQ(f1.ProgressBar1->barText(), QStringLiteral("Progress Bar"));
    EXPECT_EQ(f1.mousePointer(), kPointerDefault);
    EXPECT_FALSE(f1.isVisible());
    EXPECT_EQ(f1.ListView1->rowTexts(), files);
    Form2* f2 = Forms::form2IfLoaded();
    ASSERT_NE(f2, nullptr);
    EXPECT_TRUE(f2->isVisible());

    // The hand-off: rows in list order with their sizes, outputs in the same order.
    ASSERT_EQ(f2->ListView1->rowCount(), 3);
    const QStringList names = {QStringLiteral("a.pcx"), QStringLiteral("b.pcx"), QStringLiteral("c.pcx")};
    const QStringList before = {QStringLiteral("18 KB"), QStringLiteral("3 KB"), QStringLiteral("60 KB")};
    const QStringList after = {QStringLiteral("9 KB"), QStringLiteral("2 KB"), QStringLiteral("30 KB")};
    ASSERT_EQ(f2->mColFiles.size(), 3);
    const auto calls = converterCalls();
    ASSERT_EQ(calls.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(f2->ListView1->rowText(i), names[i]);
        EXPECT_EQ(f2->ListView1->subItem(i, 1), before[i]);
        EXPECT_EQ(f2->ListView1->subItem(i, 2), after[i]);
        const QString out = f2->mColFiles[i];
        EXPECT_TRUE(QRegularExpression(outputPattern(QStringLiteral("pcx"))).match(out).hasMatch()) << out.toStdString();
        EXPECT_EQ(QFileInfo(out).size(), QFileInfo(files[i]).size() / 2);
        EXPECT_EQ(calls[i], (QStringList{QStringLiteral("-colors"), QStringLiteral("16"),
                                         QStringLiteral("-c"), QStringLiteral("1"),
                                         QStringLiteral("-o"), out, files[i]}));
    }
    EXPECT_EQ(QSet<QString>(f2->mColFiles.begin(), f2->mColFiles.end()).size(), 3);
}

TEST_F(RunTest, FailuresShowAsFailToReduceWithoutAMessage)
{
    installFakeConverter();
    const QString gone = inputFile(QStringLiteral("gone.pcx"));
    Form1& f1 = mainWindow({inputFile(QStringLiteral("a.pcx")), gone, inputFile(QStringLiteral("c.pcx"))});
    ASSERT_TRUE(QFile::remove(gone));

    f1.PushButton2_Click();
    Form2& f2 = *Forms::form2IfLoaded();
    ASSERT_EQ(f2.ListView1->rowCount(), 3);
    EXPECT_EQ(f2.ListView1->subItem(0, 2), QStringLiteral("2 KB"));
    EXPECT_EQ(f2.ListView1->rowText(1), QStringLiteral("gone.pcx"));
    EXPECT_EQ(f2.ListView1->subItem(1, 1), QString());
    EXPECT_EQ(f2.ListView1->subItem(1, 2), QStringLiteral("Fail to reduce"));
    EXPECT_EQ(f2.ListView1->subItem(2, 2), QStringLiteral("2 KB"));
    ASSERT_EQ(f2.mColFiles.size(), 3);
    EXPECT_FALSE(QFile::exists(f2.mColFiles[1]));

    // Exit codes do not count, only the output file: failing and silent converters alike.
    for (const char* mode : {"fail", "nothing"}) {
        qputenv("FAKECONV_MODE", mode);
        f1.PushButton2_Click();
        ASSERT_EQ(f2.ListView1->rowCount(), 3) << mode;
        ASSERT_EQ(f2.mColFiles.size(), 3) << mode;
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(f2.ListView1->subItem(i, 2), QStringLiteral("Fail to reduce")) << mode;
            EXPECT_TRUE(QRegularExpression(outputPattern(QStringLiteral("pcx")))
                            .match(f2.mColFiles[i])
                            .hasMatch());
        }
    }
    EXPECT_TRUE(prompts.messages.empty());
}

TEST_F(RunTest, AnEmptyListLeavesTheResultsAlone)
{
    Form1& f1 = mainWindow();
    f1.PushButton2_Click();
    ASSERT_EQ(prompts.messages.size(), 1u);
    EXPECT_EQ(prompts.messages[0].text, QStringLiteral("No files added."));
    EXPECT_EQ(prompts.messages[0].buttons, Prompts::Buttons::Ok);
    EXPECT_EQ(prompts.messages[0].icon, Prompts::Icon::None);
    EXPECT_EQ(prompts.messages[0].caption, QString());  // the application title
    EXPECT_EQ(Forms::form2IfLoaded(), nullptr);
    EXPECT_FALSE(QFile::exists(work() + QStringLiteral("/nconvert")));

    // An earlier run's results stay as they were.
    Form2& f2 = Forms::form2();
    f2.ListView1->addRow(QStringLiteral("earlier.pcx"));
    f2.mColFiles << QStringLiteral("/earlier");
    f1.PushButton2_Click();
    EXPECT_EQ(f2.ListView1->rowTexts(), QStringList{QStringLiteral("earlier.pcx")});
    EXPECT_EQ(f2.mColFiles, QStringList{QStringLiteral("/earlier")});
    EXPECT_EQ(f1.mousePointer(), kPointerDefault);
}

TEST_F(RunTest, TheConverterIsWrittenOnceAndAnExistingOneReusedUntouched)
{
    Form1& f1 = mainWindow({inputFile(QStringLiteral("a.pcx"))});
    const QString converter = work() + QStringLiteral("/nconvert");
    f1.PushButton2_Click();
    QFile written(converter);
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    EXPECT_EQ(written.readAll(), ConverterImage());
    written.close();
    struct stat st;
    ASSERT_EQ(::stat(QFile::encodeName(converter).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);

    // Whatever sits there is used as it is, even when it is no program at all.
    ASSERT_TRUE(QFile::remove(converter));
    QFile planted(converter);
    ASSERT_TRUE(planted.open(QIODevice::WriteOnly));
    planted.write("not a program");
    planted.close();
    ASSERT_TRUE(planted.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    const QDateTime stamp = QFileInfo(converter).lastModified();
    f1.PushButton2_Click();
    ASSERT_TRUE(planted.open(QIODevice::ReadOnly));
    EXPECT_EQ(planted.readAll(), QByteArray("not a program"));
    EXPECT_EQ(QFileInfo(converter).lastModified(), stamp);
    EXPECT_EQ(Forms::form2IfLoaded()->ListView1->subItem(0, 2), QStringLiteral("Fail to reduce"));
    EXPECT_TRUE(prompts.messages.empty());
}

TEST_F(RunTest, ALeftoverBatchFileIsDeletedEvenWhenReadOnly)
{
    installFakeConverter();
    const QString batch = work() + QStringLiteral("/nconvert.bat");
    QFile b(batch);
    ASSERT_TRUE(b.open(QIODevice::WriteOnly));
    b.close();
    ASSERT_TRUE(b.setPermissions(QFileDevice::ReadOwner | QFileDevice::ReadGroup));
    Form1& f1 = mainWindow({inputFile(QStringLiteral("a.pcx"))});
    f1.PushButton2_Click();
    EXPECT_FALSE(QFile::exists(batch));
    f1.PushButton2_Click();  // none there: no message
    EXPECT_TRUE(prompts.messages.empty());
}

TEST_F(RunTest, ExtensionIsTakenFromTheWholePath)
{
    installFakeConverter();
    ASSERT_TRUE(QDir(inputs()).mkpath(QStringLiteral("my.photos")));
    const QString scan = inputFile(QStringLiteral("my.photos/scan"));
    const QString dotted = inputFile(QStringLiteral("a.b.pcx"));
    Form1& f1 = mainWindow({scan, dotted});
    f1.PushButton2_Click();
    Form2& f2 = *Forms::form2IfLoaded();
    EXPECT_EQ(f2.ListView1->rowText(0), QStringLiteral("scan"));
    EXPECT_EQ(f2.ListView1->subItem(0, 1), QStringLiteral("3 KB"));
    EXPECT_TRUE(QRegularExpression(outputPattern(QStringLiteral("photos/scan")))
                    .match(f2.mColFiles[0])
                    .hasMatch())
        << f2.mColFiles[0].toStdString();
    EXPECT_EQ(f2.ListView1->subItem(0, 2), QStringLiteral("Fail to reduce"));
    EXPECT_TRUE(QRegularExpression(outputPattern(QStringLiteral("pcx"))).match(f2.mColFiles[1]).hasMatch());
    EXPECT_EQ(f2.ListView1->subItem(1, 2), QStringLiteral("2 KB"));
}

TEST_F(RunTest, ASecondStartDuringARunIsRefused)
{
    installFakeConverter();
    Form1& f1 = mainWindow({inputFile(QStringLiteral("a.pcx")), inputFile(QStringLiteral("b.pcx"))});
    RecordingTicks ticks(f1.ProgressBar1);
    ticks.onWaitBegins = [&] {
        if (ticks.waits == 1)
            f1.PushButton2_Click();
    };
    f1.PushButton2_Click();
    EXPECT_EQ(ticks.waits, 2);
    Form2& f2 = *Forms::form2IfLoaded();
    EXPECT_EQ(f2.ListView1->rowCount(), 2);
    EXPECT_EQ(f2.mColFiles.size(), 2);
    EXPECT_EQ(f2.ListView1->subItem(1, 2), QStringLiteral("2 KB"));
    EXPECT_TRUE(prompts.messages.empty());

    // Nor does it start while the window is busy with another long operation.
    f1.setMousePointer(kPointerBusy);
    ticks.onWaitBegins = nullptr;
    f1.PushButton2_Click();
    EXPECT_EQ(ticks.waits, 2);
}

TEST_F(RunTest, ClosingTheMainWindowEndsTheRunAtOnce)
{
    installFakeConverter();
    qputenv("FAKECONV_MODE", "sleep");
    qputenv("FAKECONV_SLEEP_MS", "5000");
    const QStringList files = {inputFile(QStringLiteral("a.pcx")), inputFile(QStringLiteral("b.pcx"))};
    Form1& f1 = mainWindow(files);
    f1.show();
    RecordingTicks ticks(f1.ProgressBar1);
    ticks.onWaitBegins = [&] { f1.close(); };
    QElapsedTimer clock;
    clock.start();
    f1.PushButton2_Click();
    // The converter was stopped, not waited for, and no second one started.
    EXPECT_LT(clock.elapsed(), 4000);
    EXPECT_EQ(ticks.waits, 1);
    EXPECT_FALSE(Forms::form2IfLoaded()->isVisible());
    EXPECT_EQ(QDir(work()).entryList(QDir::Files), QStringList{QStringLiteral("nconvert")});
    EXPECT_TRUE(prompts.messages.empty());
    // The window's close asked the application to quit; take that back for the next cases.
    QTimer::singleShot(0, qApp, &QCoreApplication::quit);
    QCoreApplication::exec();
}

TEST_F(RunTest, WithoutTempTheWorkFolderIsPrivate)
{
    qunsetenv("TEMP");
    const QByteArray savedCache = qgetenv("XDG_CACHE_HOME");
    const auto restore = qScopeGuard([&] {
        if (savedCache.isNull())
            qunsetenv("XDG_CACHE_HOME");
        else
            qputenv("XDG_CACHE_HOME", savedCache);
    });
    const QString cache = inputs() + QStringLiteral("/cache");
    qputenv("XDG_CACHE_HOME", QFile::encodeName(cache));
    const QString folder = cache + QStringLiteral("/palettrim");

    Form1& f1 = mainWindow({inputFile(QStringLiteral("a.pcx"))});
    f1.PushButton2_Click();
    struct stat st;
    ASSERT_EQ(::stat(QFile::encodeName(folder).constData(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_TRUE(QFile::exists(folder + QStringLiteral("/nconvert")));
    EXPECT_TRUE(Forms::form2IfLoaded()->mColFiles[0].startsWith(folder + QLatin1Char('/')));
    EXPECT_TRUE(prompts.messages.empty());

    // Something else in its place: reported, nothing converted, nothing touched.
    Forms::resetForTesting();
    ASSERT_TRUE(QDir(folder).removeRecursively());
    QFile impostor(folder);
    ASSERT_TRUE(impostor.open(QIODevice::WriteOnly));
    impostor.close();
    Form1& again = mainWindow({inputFile(QStringLiteral("b.pcx"))});
    again.PushButton2_Click();
    ASSERT_EQ(prompts.messages.size(), 1u);
    EXPECT_EQ(prompts.messages[0].caption, QStringLiteral("Application Error"));
    EXPECT_TRUE(prompts.messages[0].text.contains(
        QStringLiteral("in Colorpare2021/08/31.Form1.PushButton2_Click at line ")));
    EXPECT_EQ(Forms::form2IfLoaded(), nullptr);
    EXPECT_EQ(again.mousePointer(), kPointerDefault);

    // A folder of another user's is not trusted either.
    if (::geteuid() == 0) {
        ASSERT_TRUE(QFile::remove(folder));
        ASSERT_TRUE(QDir().mkdir(folder));
        ASSERT_EQ(::chown(QFile::encodeName(folder).constData(), 65534, 65534), 0);
        again.PushButton2_Click();
        EXPECT_EQ(prompts.messages.size(), 2u);
        EXPECT_EQ(Forms::form2IfLoaded(), nullptr);
        EXPECT_FALSE(QFile::exists(folder + QStringLiteral("/nconvert")));
    }
}

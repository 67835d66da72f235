// The sample files: the scrambled snapshot and the button that adds them.
#include "core/errorreport.h"
#include "app/form1.h"
#include "filelist/samples.h"
#include "core/settings.h"
#include "support/test_env.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace {

void touch(const QString& path)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << path.toStdString();
    f.write("PCX");
}

const QString kQuestion = QStringLiteral(
    "Would you like this software to open the folder where these sample files are stored (so that "
    "you can view them before working with them)?");

}  // namespace

TEST(SampleShift, EveryCodeComesBackAndLengthIsKept)
{
    QString all;
    for (int c = 1; c <= 255; ++c)
        all += QChar(static_cast<char16_t>(c));
    const QString enc = ShiftEncode(all, Globals::kSampleKey);
    EXPECT_EQ(enc.size(), all.size());
    EXPECT_NE(enc, all);
    for (const QChar c : enc)
        EXPECT_TRUE(c.unicode() >= 1 && c.unicode() <= 255);
    EXPECT_EQ(ShiftDecode(enc, Globals::kSampleKey), all);

    // The key repeats; sums above 255 wrap to the bottom of the range.
    EXPECT_EQ(ShiftEncode(QString(QChar(200)) + QChar(200), "ab"),
              QString(QChar(200 + 97 - 255)) + QChar(200 + 98 - 255));
    EXPECT_EQ(ShiftEncode("aa", "b"), QString(QChar(97 + 98)) + QChar(97 + 98));

    // No length limit: a list of many samples must survive.
    const QString longText = QString(40000, QLatin1Char('/')) + "x.pcx";
    EXPECT_EQ(ShiftDecode(ShiftEncode(longText, Globals::kSampleKey), Globals::kSampleKey), longText);

    EXPECT_THROW(ShiftEncode("abc", QString()), AppError);
    EXPECT_THROW(ShiftEncode(QString::fromUtf8("Ω"), Globals::kSampleKey), AppError);
}

class SamplesTest : public AppTest {
protected:
    void SetUp() override
    {
        AppTest::SetUp();
        // A program folder whose name is outside Latin-1, as a user's home may be.
        m_program = m_root.path() + QString::fromUtf8("/Программа");
        ASSERT_TRUE(QDir().mkpath(m_program + "/Samples/nested"));
        SetService(&Services::programFolder, m_program);
    }
    QString sample(const QString& name) const { return m_program + "/Samples/" + name; }
    Form1& form() { return Forms::form1(); }

    QTemporaryDir m_root;
    QString m_program;
};

TEST_F(SamplesTest, SnapshotListsTheFolderOnceAndTheButtonAddsEachSampleOnce)
{
    touch(sample("one.pcx"));
    touch(sample("two.pcx"));
    touch(sample("notes.txt"));
    touch(sample("nested/deep.pcx"));
    BuildSampleSnapshot();
    const QString stored = Settings::get(Settings::kSnapshot);
    EXPECT_FALSE(stored.contains("one.pcx"));  // scrambled

    touch(sample("later.pcx"));
    form().ListView1->addRow(sample("two.pcx"));
    prompts.answers.push_back(Prompts::Answer::Yes);
    form().PushButton4_Click();
    QStringList rows = form().ListView1->rowTexts();
    ASSERT_EQ(rows.size(), 3);
    rows.sort();
    EXPECT_EQ(rows, (QStringList{sample("notes.txt"), sample("one.pcx"), sample("two.pcx")}));
    ASSERT_EQ(prompts.messages.size(), 1u);
    EXPECT_EQ(prompts.messages[0].text, kQuestion);
    EXPECT_EQ(prompts.messages[0].buttons, Prompts::Buttons::YesNo);
    EXPECT_EQ(prompts.messages[0].icon, Prompts::Icon::None);
    EXPECT_EQ(prompts.openedFolders, QStringList{m_program + "/Samples/"});

    // Again: nothing new is added, the question comes again, "No" opens nothing.
    ASSERT_TRUE(QFile::remove(sample("one.pcx")));
    form().ListView1->clearRows();
    form().PushButton4_Click();
    form().PushButton4_Click();
    rows = form().ListView1->rowTexts();
    rows.sort();
    EXPECT_EQ(rows, (QStringList{sample("notes.txt"), sample("two.pcx")}));
    EXPECT_EQ(prompts.messages.size(), 3u);
    EXPECT_EQ(prompts.openedFolders.size(), 1);
    // The snapshot is never rewritten by the button.
    EXPECT_EQ(Settings::get(Settings::kSnapshot), stored);

    // "Yes" where no file manager starts: a message says where the samples are.
    prompts.folderOpens = false;
    prompts.answers.push_back(Prompts::Answer::Yes);
    form().PushButton4_Click();
    ASSERT_EQ(prompts.messages.size(), 5u);
    EXPECT_EQ(prompts.messages[4].text,
              "No file manager could be started to show the sample files. They are in:\n\n"
                  + m_program + "/Samples");
    EXPECT_EQ(prompts.messages[4].buttons, Prompts::Buttons::Ok);
}

TEST_F(SamplesTest, EmptyOrMissingSnapshotAddsNothingButStillAsks)
{
    form().PushButton4_Click();  // no snapshot at all
    BuildSampleSnapshot();       // empty folder: an empty text is stored
    EXPECT_EQ(Settings::stored(Settings::kSnapshot).value_or("absent"), "");
    form().PushButton4_Click();
    EXPECT_EQ(form().ListView1->rowCount(), 0);
    EXPECT_EQ(prompts.messageTexts(), (QStringList{kQuestion, kQuestion}));

    // A snapshot that cannot be read back is reported, and the window carries on.
    Settings::put(Settings::kSnapshot, QString::fromUtf8("Ω"));
    form().PushButton4_Click();
    ASSERT_EQ(prompts.messages.size(), 3u);
    EXPECT_TRUE(prompts.messages[2].text.contains("Colorpare2021/08/31.Form1.PushButton4_Click"));
}

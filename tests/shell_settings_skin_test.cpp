#include "core/errorreport.h"
#include "core/settings.h"
#include "results/form2.h"
#include "shell_support.h"
#include "widgets/skin.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>

TEST_F(ShellTest, OutputFolderDefaultsToTheDesktopWhereThereIsOneElseHomeAndEmptyStaysEmpty)
{
    QTemporaryDir home;
    const ScopedEnv homeEnv("HOME", home.path());
    const ScopedEnv dirsEnv("XDG_CONFIG_HOME", home.filePath(".config"));
    // No desktop folder: a first save must find an existing folder.
    EXPECT_EQ(Settings::get(Settings::kOutputFolder), home.path() + "/");
    ASSERT_TRUE(QDir(home.path()).mkdir("Desktop"));
    EXPECT_EQ(Settings::get(Settings::kOutputFolder), home.filePath("Desktop") + "/");

    Settings::put(Settings::kOutputFolder, QString());
    EXPECT_EQ(Settings::get(Settings::kOutputFolder), QString());
}

TEST_F(ShellTest, EveryPutIsOnDiskAtOnceAndAnyTextComesBackUnchanged)
{
    const QStringList texts = {
        QStringLiteral("/home/u/a, b/"), QStringLiteral("\"quoted\""), QStringLiteral("; not a comment"),
        QStringLiteral("  spaced  "),    QStringLiteral("@Variant(0)"), QStringLiteral("a|b|c"),
        QStringLiteral("Ünïcødé ☃"),     QStringLiteral("C:\\x\\\\y"),  QStringLiteral("two\nlines"),
        QStringLiteral("=x=[y]"),        QString(QChar(1)) + QChar(0x7f) + QChar(0xfffd)};
    for (const QString& t : texts) {
        Settings::put(Settings::kSnapshot, t);
        EXPECT_EQ(Settings::get(Settings::kSnapshot), t);
    }
    Settings::put(Settings::kCombo1, QStringLiteral("5"));
    // Read back by a separate reader straight from the file.
    const QString file = QDir(m_config.path()).filePath(QStringLiteral("Quillmark/Palettrim.ini"));
    QSettings reader(file, QSettings::IniFormat);
    EXPECT_EQ(reader.value(QStringLiteral("Palettrim/Combo1")).toString(), QStringLiteral("5"));
}

TEST_F(ShellTest, StoreThatCannotBeWrittenFailsLoudly)
{
    // A file where the settings folder should be: no user, root included, can write there.
    const QString blocker = programFile(QStringLiteral("blocker"));
    writeProgramFile(QStringLiteral("blocker"), "x");
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, blocker);
    EXPECT_THROW(Settings::put(Settings::kCombo1, QStringLiteral("3")), AppError);

    // The colour box reports it under its own name and goes on.
    Form1& f = started();
    prompts.messages.clear();
    f.Combo1->setCurrentIndex(2);
    ASSERT_EQ(prompts.messages.size(), 1u);
    EXPECT_TRUE(prompts.messages[0].text.contains(QStringLiteral("Form1.Combo1_Click")));
    EXPECT_EQ(f.Combo1->currentIndex(), 2);
}

TEST_F(ShellTest, NoSkinFileLeavesTheMainWindowWhite)
{
    QDir(programFile(QString())).mkpath(QStringLiteral("x"));  // a folder without the file
    Form1& f = started();
    EXPECT_TRUE(prompts.messages.empty());
    EXPECT_EQ(f.palette().color(QPalette::Window), QColor(Qt::white));
    EXPECT_TRUE(f.styleSheet().isEmpty());

    QDir(programFile(QString())).mkpath(QStringLiteral("x/o.cjs"));  // a folder of that name
    Forms::destroyAll();
    EXPECT_EQ(started().palette().color(QPalette::Window), QColor(Qt::white));
    EXPECT_TRUE(prompts.messages.empty());
}

TEST_F(ShellTest, SkinFileGivesButtonFaceColoursThenTheStyleSheet)
{
    QDir(programFile(QString())).mkpath(QStringLiteral("x"));
    const QByteArray sheet = "QGroupBox { font-style: italic; }";
    writeProgramFile(QStringLiteral("x/o.cjs"), sheet);
    Form1& f = started();
    EXPECT_TRUE(prompts.messages.empty());
    EXPECT_EQ(f.styleSheet(), QString::fromUtf8(sheet));
    EXPECT_EQ(f.palette().color(QPalette::Window), ButtonFaceColour());
    EXPECT_EQ(f.Frame1->palette().color(QPalette::Window), ButtonFaceColour());
    EXPECT_TRUE(f.Frame1->autoFillBackground());
    // The list and the colour box keep their own colours.
    EXPECT_EQ(f.ListView1->viewport()->palette().color(QPalette::Base),
              QApplication::palette().color(QPalette::Base));
    EXPECT_FALSE(f.Combo1->autoFillBackground());
}

TEST_F(ShellTest, ButtonsHaveAWhiteFaceThatASkinCanChange)
{
    // A point of the face beside the caption, as the screen shows it. The style may shade the
    // face a little, so colours are compared by their channels.
    const auto face = [](QWidget* button) {
        const QImage shot = button->grab().toImage();
        return shot.pixelColor(QPoint(12, button->height() / 2) * shot.devicePixelRatio());
    };
    const auto white = [](const QColor& c) { return std::min({c.red(), c.green(), c.blue()}) >= 250; };
    const auto red = [](const QColor& c) { return c.red() >= 150 && c.red() - c.blue() >= 100; };
    Form1& plain = started();
    for (QWidget* b : std::initializer_list<QWidget*>{plain.PushButton5, Forms::form2().PushButton6})
        EXPECT_TRUE(white(face(b))) << b->objectName().toStdString() << " " << face(b).name().toStdString();

    QDir(programFile(QString())).mkpath(QStringLiteral("x"));
    writeProgramFile(QStringLiteral("x/o.cjs"), "QPushButton { background-color: rgb(200, 40, 0); }");
    Forms::destroyAll();
    Form1& skinned = started();
    for (QWidget* b : {skinned.PushButton1, skinned.PushButton5})
        EXPECT_TRUE(red(face(b))) << b->objectName().toStdString() << " " << face(b).name().toStdString();
    // The skin is the main window's; the results window keeps the white face.
    EXPECT_TRUE(white(face(Forms::form2().PushButton6)));
}

TEST_F(ShellTest, FormColoursReachOnlyFramesOptionsCheckBoxesAndLabels)
{
    QWidget window;
    auto* frame = new QGroupBox(&window);
    const QList<QWidget*> coloured = {&window, frame, new QRadioButton(frame),
                                      new QCheckBox(&window), new QLabel(&window)};
    auto* text = new QLineEdit(&window);
    ApplyFormColours(window);
    for (QWidget* w : coloured) {
        EXPECT_EQ(w->palette().color(QPalette::Window), ButtonFaceColour());
        EXPECT_TRUE(w->autoFillBackground());
    }
    EXPECT_FALSE(text->autoFillBackground());
}

TEST_F(ShellTest, ApplicationTitleDropsWordsBeyondFortyCharacters)
{
    EXPECT_EQ(AppTitleFor(QStringLiteral("Palettrim")), QStringLiteral("Palettrim"));
    const QString forty = QStringLiteral("Palettrim makes old PCX images smaller!!");
    ASSERT_EQ(forty.size(), 40);
    EXPECT_EQ(AppTitleFor(forty), forty);
    EXPECT_EQ(AppTitleFor(forty + QStringLiteral("!")), QStringLiteral("Palettrim makes old PCX images"));
    EXPECT_EQ(AppTitleFor(QStringLiteral("Palettrim the colour reducer for old PCX image files")),
              QStringLiteral("Palettrim the colour reducer for old PCX"));
    EXPECT_EQ(AppTitleFor(QString(45, QLatin1Char('p'))), QString(40, QLatin1Char('p')));
    EXPECT_EQ(AppTitleFor(QStringLiteral("word ") + QString(44, QLatin1Char('w'))), QStringLiteral("word"));
    SetAppTitle();
    EXPECT_EQ(Globals::appTitle(), QStringLiteral("Palettrim"));
}

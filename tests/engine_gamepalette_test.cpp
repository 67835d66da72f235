// Game palettes with the program's own converter: the palettes of the saved files, and the key
// colour's pixels.
#include "core/messages.h"
#include "core/settings.h"
#include "engine_fixture.h"
#include "filelist/addfolder.h"
#include "results/form2.h"
#include "support/files.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QTemporaryDir>

#include "pcx.h"

namespace {

// The program's own converter, as the user's run starts it.
class GamePaletteTest : public EngineTest {
protected:
    // Saves the results shown into a fresh folder; the saved files' paths, in name order.
    QStringList saveShown(QTemporaryDir& out)
    {
        Form2& f2 = *Forms::form2IfLoaded();
        EXPECT_TRUE(f2.isVisible());
        prompts.messages.clear();
        f2.Text1->setText(out.path());
        f2.PushButton6_Click();
        EXPECT_EQ(prompts.messageTexts().value(prompts.messageTexts().size() - 1), Messages::kDone);
        QStringList saved;
        for (const QString& name : QDir(out.path()).entryList(QDir::Files, QDir::Name))
            saved << out.filePath(name);
        f2.PushButton8_Click();
        return saved;
    }
    // The 256 entries at the end of an 8-bit PCX file of one plane; empty for any other file.
    static QByteArray paletteBlock(const QString& path)
    {
        const QByteArray bytes = readFile(path);
        if (bytes.size() < 128 + 769 || bytes[3] != 8 || bytes[65] != 1 || bytes[bytes.size() - 769] != 12)
            return {};
        return bytes.right(768);
    }
    static pcx::Image decoded(const QString& path)
    {
        pcx::Image image;
        EXPECT_EQ(pcx::decodeFile(QFile::encodeName(path).toStdString(), image), pcx::Error::None) << path.toStdString();
        return image;
    }
};

// A sprite on the key colour: a ramp of colours, black among them, and colours a step from the
// key, which must not be taken for it.
QByteArray spriteOnKey(int shade)
{
    std::vector<pcx::Rgb> palette = {{0xff, 0x00, 0xff}, {0xfe, 0x00, 0xfe}, {0xff, 0x01, 0xff}, {0, 0, 0}};
    for (int i = 0; i < 40; ++i)
        palette.push_back({uint8_t(i * 6), uint8_t(255 - i * shade), uint8_t(i * 3 + shade)});
    pcx::Image image;
    image.width = 31;
    image.height = 17;
    image.palette = palette;
    for (uint32_t y = 0; y < image.height; ++y)
        for (uint32_t x = 0; x < image.width; ++x)
            image.pixels.push_back(uint8_t(x < 4 || y < 2 ? 0 : (x * 7 + y * 3) % palette.size()));
    pcx::VectorSink sink;
    EXPECT_EQ(pcx::encode(image, pcx::Layout::Byte, true, sink), pcx::Error::None);
    return QByteArray(reinterpret_cast<const char*>(sink.bytes.data()), qsizetype(sink.bytes.size()));
}

}  // namespace

TEST_F(GamePaletteTest, EverySavedFileCarriesTheOnePaletteOrTheFilesOwnEntryForEntry)
{
    // Named as the converter's lines name it only through escapes and with ": " in it.
    const QString broken = inputs() + QStringLiteral("/broken: odd\tname\n.pcx");
    writeFile(broken, "not a picture at all");
    const QStringList files = {inputFile(QStringLiteral("a.pcx")), inputFile(QStringLiteral("b.pcx"), "pillow_24bit.pcx"),
                               broken, inputFile(QStringLiteral("c.pcx"), "allegro_mysha.pcx"),
                               inputFile(QStringLiteral("d.pcx"), "netpbm_4planes.pcx")};
    Form1& f1 = mainWindow(files);
    f1.Combo1->setCurrentIndex(1);  // "16 colors"
    // What the converter says of the broken file when it reduces it alone.
    f1.PushButton2_Click();
    const QString itsReason = Forms::form2IfLoaded()->records()[2].failure;
    ASSERT_FALSE(itsReason.isEmpty());
    Forms::form2IfLoaded()->PushButton8_Click();

    // The palette pass leaves the broken file out and exits 1, yet its palette is the run's.
    f1.mnuOnePalette_Click();
    const ReductionRecords shared = Forms::form2IfLoaded()->records();
    ASSERT_EQ(shared.size(), 5);
    EXPECT_EQ(shared[2].failure, itsReason);
    QTemporaryDir out;
    const QStringList saved = saveShown(out);
    ASSERT_EQ(saved.size(), 4);
    const QByteArray one = paletteBlock(saved[0]);
    ASSERT_EQ(one.size(), 768);
    for (const QString& s : saved)
        EXPECT_EQ(paletteBlock(s), one) << s.toStdString();

    const QString game = QStringLiteral(ENGINE_TEST_PCX_DIR "/allegro_allegro.pcx");
    prompts.files.push_back({{game}, false});
    f1.mnuPaletteOfFile_Click();
    QTemporaryDir outGiven;
    const QStringList savedGiven = saveShown(outGiven);
    ASSERT_EQ(savedGiven.size(), 4);
    for (const QString& s : savedGiven)
        EXPECT_EQ(paletteBlock(s), readFile(game).right(768)) << s.toStdString();
}

TEST_F(GamePaletteTest, WithAKeyColourOnlyTheKeyPixelsOfTheSavedFilesSitAtIndexZero)
{
    const QStringList files = {inputs() + QStringLiteral("/walk1.pcx"), inputs() + QStringLiteral("/walk2.pcx")};
    writeFile(files[0], spriteOnKey(3));
    writeFile(files[1], spriteOnKey(5));
    Settings::put(Settings::kKeyColour, QStringLiteral("ff00ff"));
    Form1& f1 = mainWindow(files);
    const auto keyOnlyAtZero = [&](const QStringList& saved) {
        ASSERT_EQ(saved.size(), 2);
        for (int f = 0; f < 2; ++f) {
            const pcx::Image in = decoded(files[f]), out = decoded(saved[f]);
            ASSERT_TRUE(out.indexed);
            ASSERT_EQ(out.pixels.size(), in.pixels.size());
            int keys = 0;
            for (uint32_t y = 0; y < in.height; ++y)
                for (uint32_t x = 0; x < in.width; ++x) {
                    const bool key = in.at(x, y) == pcx::Rgb{0xff, 0x00, 0xff};
                    keys += key;
                    ASSERT_EQ(out.pixels[size_t(y) * in.width + x] == 0, key) << f << " at " << x << "," << y;
                }
            EXPECT_GT(keys, 0);
        }
    };
    f1.mnuOnePalette_Click();
    QTemporaryDir out;
    keyOnlyAtZero(saveShown(out));
    prompts.files.push_back({{QStringLiteral(ENGINE_TEST_PCX_DIR "/allegro_allegro.pcx")}, false});
    f1.mnuPaletteOfFile_Click();
    QTemporaryDir outGiven;
    keyOnlyAtZero(saveShown(outGiven));
}

TEST_F(GamePaletteTest, AGamesFolderPatternDitheredIsSavedBackAsATreeOfTheCopiesTheRowsShow)
{
    const QString data = inputs() + QStringLiteral("/data/");
    const QStringList tree = {"title.pcx", "hero/walk/1.pcx", "villain/walk/1.pcx"};
    const char* sources[] = {"allegro_mysha.pcx", "allegro_allegro.pcx", "pillow_24bit.pcx"};
    for (int i = 0; i < tree.size(); ++i) {
        ASSERT_TRUE(QDir().mkpath(QFileInfo(data + tree[i]).absolutePath()));
        ASSERT_TRUE(QFile::copy(QStringLiteral(ENGINE_TEST_PCX_DIR "/") + QLatin1String(sources[i]), data + tree[i]));
    }
    Form1& f1 = mainWindow({});
    AddFolderTree(f1.ListView1, inputs() + QStringLiteral("/data"), QStringLiteral("*.pcx"));
    f1.Combo1->setCurrentIndex(1);  // "16 colors"
    f1.mnuPatternDither->trigger();
    f1.PushButton2_Click();
    Form2* f2 = Forms::form2IfLoaded();
    const ReductionRecords records = f2 ? f2->records() : ReductionRecords{};
    if (records.size() != 3 || records[0].failed())
        GTEST_SKIP() << "this converter takes no -dither pattern: "
                     << (records.isEmpty() ? std::string() : records[0].failure.toStdString());
    QHash<QString, QByteArray> copies;  // by the path below the folder
    for (const ReductionRecord& r : records) {
        EXPECT_EQ(r.madeWith, QStringLiteral("Pattern-dithered"));
        copies.insert(r.inputPath.mid(data.size()), readFile(r.workCopy));
    }
    ASSERT_EQ(copies.size(), 3);

    // Every subfolder and name found again under the chosen folder, byte for byte the copies.
    QTemporaryDir out;
    prompts.messages.clear();
    f2->Option4->setChecked(true);
    f2->Text1->setText(out.path());
    f2->mnuSaveTree->trigger();
    EXPECT_EQ(prompts.messageTexts(), QStringList{Messages::kDone});
    for (const QString& below : tree)
        EXPECT_EQ(readFile(out.filePath(below)), copies.value(below)) << below.toStdString();

    // Into the folder they were added from, the originals are replaced one by one.
    f2->Text1->setText(data);
    f2->mnuSaveTree->trigger();
    for (const QString& below : tree) {
        EXPECT_FALSE(copies.value(below).isEmpty());
        EXPECT_EQ(readFile(data + below), copies.value(below)) << below.toStdString();
    }
}

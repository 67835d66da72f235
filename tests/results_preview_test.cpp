// The results list's tooltips: thumbnails, their captions, and the pictures kept per file.
#include "core/filesize.h"
#include "core/messages.h"
#include "pcx.h"
#include "results/form2.h"
#include "results/preview.h"
#include "results/thumbnail.h"
#include "support/files.h"
#include "support/test_env.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QHelpEvent>
#include <QLocale>
#include <QScopeGuard>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>
#include <QToolTip>

#include <atomic>
#include <functional>
#include <future>
#include <memory>
#include <random>
#include <set>
#include <thread>

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

using Preview::FitThumbnail;
using Preview::MakePicture;
using Preview::Picture;

namespace {

// An 8-bit PCX of w x h pixels whose pixel (x, y) has palette index index(x, y).
QByteArray indexedPcx(uint32_t w, uint32_t h, std::vector<pcx::Rgb> palette,
                      const std::function<uint8_t(uint32_t, uint32_t)>& index)
{
    pcx::Image image;
    image.width = w;
    image.height = h;
    image.palette = std::move(palette);
    image.pixels.resize(size_t(w) * h);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x)
            image.pixels[size_t(y) * w + x] = index(x, y);
    pcx::VectorSink sink;
    EXPECT_EQ(pcx::encode(image, pcx::Layout::Byte, true, sink), pcx::Error::None);
    return QByteArray(reinterpret_cast<const char*>(sink.bytes.data()), qsizetype(sink.bytes.size()));
}

// A 24-bit PCX, uncompressed, of one row: a red pixel, then a blue one.
QByteArray redBluePcx()
{
    QByteArray bytes(128, '\0');
    bytes[0] = 10, bytes[1] = 5, bytes[2] = 0, bytes[3] = 8;  // maker, version, raw, 8 bits
    bytes[8] = 1;                                             // xmax: two pixels wide
    bytes[65] = 3, bytes[66] = 2;                             // planes R, G, B; 2 bytes each
    bytes += QByteArray::fromHex("ff00" "0000" "00ff");
    return bytes;
}

// An 8-bit PCX whose header claims a w x h picture (by default the largest a preview decodes),
// with just enough bytes behind it to pass the decoder's size check: the decode takes the whole
// picture's memory and then finds the file truncated.
QByteArray claimOf(int w = 8192, int h = 4096)
{
    QByteArray bytes(128, '\0');
    bytes[0] = 10, bytes[1] = 5, bytes[2] = 1, bytes[3] = 8;
    bytes[8] = char((w - 1) & 0xFF), bytes[9] = char((w - 1) >> 8);
    bytes[10] = char((h - 1) & 0xFF), bytes[11] = char((h - 1) >> 8);
    bytes[65] = 1, bytes[66] = char(w & 0xFF), bytes[67] = char(w >> 8);
    return bytes + QByteArray(qsizetype(w) * h / 63 * 2 + 200, '\0');
}

const pcx::Rgb kRed{200, 0, 0}, kBlue{0, 0, 200}, kWhite{255, 255, 255}, kBlack{0, 0, 0};

QImage checker(int w, int h, QRgb a, QRgb b)
{
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image.setPixel(x, y, (x + y) % 2 ? b : a);
    return image;
}

bool waitUntil(const std::function<bool()>& done, int ms = 10000)
{
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return done();
}

}  // namespace

TEST(PreviewThumbnail, FitsTheBoxKeepingAspectSharpWhenGrowingSmoothWhenShrinking)
{
    // Pixel art grows by nearest neighbour: every 40 x 40 block is one source pixel, unblended.
    const QImage art = checker(8, 6, qRgb(255, 0, 0), qRgb(0, 0, 255));
    const QImage grown = FitThumbnail(art);
    ASSERT_EQ(grown.size(), QSize(320, 240));
    for (int y = 0; y < 240; y += 7)
        for (int x = 0; x < 320; x += 3)
            ASSERT_EQ(grown.pixel(x, y), art.pixel(x / 40, y / 40)) << x << "," << y;

    // A photo-like picture shrinks smoothly: one-pixel black and white stripes average to grey.
    QImage stripes(1280, 480, QImage::Format_RGB32);
    for (int x = 0; x < stripes.width(); ++x)
        for (int y = 0; y < stripes.height(); ++y)
            stripes.setPixel(x, y, x % 2 ? qRgb(255, 255, 255) : qRgb(0, 0, 0));
    const QImage shrunk = FitThumbnail(stripes);
    ASSERT_EQ(shrunk.size(), QSize(320, 120));
    for (const QPoint p : {QPoint(0, 0), QPoint(160, 60), QPoint(319, 119)}) {
        const int grey = qGray(shrunk.pixel(p));
        EXPECT_TRUE(grey > 90 && grey < 165) << grey;
    }

    // The longer side decides; no side falls below one pixel; a fitting picture stays as it is.
    EXPECT_EQ(FitThumbnail(checker(16, 4, 0, 0)).size(), QSize(320, 80));
    EXPECT_EQ(FitThumbnail(checker(100, 400, 0, 0)).size(), QSize(60, 240));
    EXPECT_EQ(FitThumbnail(checker(2, 2000, 0, 0)).size(), QSize(1, 240));
    const QImage exact = checker(320, 240, 0, 0);
    EXPECT_EQ(FitThumbnail(exact).cacheKey(), exact.cacheKey());
    EXPECT_TRUE(FitThumbnail(QImage()).isNull());
}

TEST(PreviewCaptions, ColoursSizeAndTheChangeInPercent)
{
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    EXPECT_EQ(Preview::ChangeText(1000, 110), "-89%");
    EXPECT_EQ(Preview::ChangeText(1000, 1180), "+18%, larger than the original");
    EXPECT_EQ(Preview::ChangeText(1000, 1000), "0%, the same size as the original");
    EXPECT_EQ(Preview::ChangeText(100000, 99999), "-<1%");
    EXPECT_EQ(Preview::ChangeText(100000, 100001), "+<1%, larger than the original");
    // Half a percent and more counts as a whole one.
    EXPECT_EQ(Preview::ChangeText(1000, 990), "-1%");
    EXPECT_EQ(Preview::ChangeText(1000, 994), "-1%");
    EXPECT_EQ(Preview::ChangeText(1000, 1010), "+1%, larger than the original");
    EXPECT_EQ(Preview::ChangeText(1000, 0), "-100%");
    // Sizes past 32 bits do not wrap.
    EXPECT_EQ(Preview::ChangeText(qint64(6) << 32, qint64(3) << 32), "-50%");
    EXPECT_EQ(Preview::ChangeText(0, 10), QString());
    EXPECT_EQ(Preview::ChangeText(1000, -1), QString());

    Picture p;
    p.thumbnail = QImage(4, 4, QImage::Format_RGB32);
    p.colours = 16;
    p.bytes = 1536;
    EXPECT_EQ(Preview::CaptionText(p), "16 colors, 2 KB");
    p.colours = 1;
    EXPECT_EQ(Preview::CaptionText(p), "1 color, 2 KB");
    p.colours = 69027;
    EXPECT_EQ(Preview::CaptionText(p), "69,027 colors, 2 KB");
    // A file read but not decoded has a size and no colours.
    p.thumbnail = QImage();
    EXPECT_EQ(Preview::CaptionText(p), "2 KB");
    QLocale::setDefault(QLocale::system());
}

TEST(PreviewPictures, DecodedByThePcxLibraryCountingTheColoursInUse)
{
    QTemporaryDir dir;
    // 256 palette entries, three in use, two of those alike: two colours.
    const QString art = dir.filePath("art.pcx");
    writeFile(art, indexedPcx(7, 6, {kRed, kBlue, kRed}, [](uint32_t x, uint32_t y) {
                  return uint8_t(y == 0 ? x % 3 : 1);
              }));
    const Picture small = MakePicture(art);
    EXPECT_EQ(small.problem, QString());
    EXPECT_EQ(small.colours, 2);
    EXPECT_EQ(small.bytes, QFileInfo(art).size());
    ASSERT_EQ(small.thumbnail.size(), QSize(280, 240));
    EXPECT_EQ(small.thumbnail.pixel(0, 0), qRgb(200, 0, 0));
    EXPECT_EQ(small.thumbnail.pixel(45, 0), qRgb(0, 0, 200));
    EXPECT_EQ(small.thumbnail.pixel(239, 0), qRgb(200, 0, 0));
    EXPECT_EQ(small.thumbnail.pixel(279, 239), qRgb(0, 0, 200));
    // The tooltip's PNG is the thumbnail.
    EXPECT_EQ(QImage::fromData(small.png, "PNG").convertToFormat(QImage::Format_RGB32), small.thumbnail);

    // A 24-bit file: its colours counted against a plain set of what the library decodes.
    const QString photo = QStringLiteral(ENGINE_TEST_PCX_DIR "/netpbm_24bit.pcx");
    pcx::Image decoded;
    ASSERT_EQ(pcx::decodeFile(photo.toStdString(), decoded), pcx::Error::None);
    std::set<uint32_t> distinct;
    for (uint32_t y = 0; y < decoded.height; ++y)
        for (uint32_t x = 0; x < decoded.width; ++x) {
            const pcx::Rgb c = decoded.at(x, y);
            distinct.insert(uint32_t(c.r) << 16 | uint32_t(c.g) << 8 | c.b);
        }
    const Picture big = MakePicture(photo);
    EXPECT_EQ(big.problem, QString());
    EXPECT_EQ(big.colours, int(distinct.size()));
    EXPECT_TRUE(big.colours > 256);
    const QSize fitted = QSize(int(decoded.width), int(decoded.height)).scaled(320, 240, Qt::KeepAspectRatio);
    EXPECT_LE(std::abs(big.thumbnail.width() - fitted.width()), 1);
    EXPECT_LE(std::abs(big.thumbnail.height() - fitted.height()), 1);

    // Red stays red and blue stays blue in the 24-bit layout.
    writeFile(dir.filePath("rgb.pcx"), redBluePcx());
    const Picture rgb = MakePicture(dir.filePath("rgb.pcx"));
    ASSERT_EQ(rgb.thumbnail.size(), QSize(320, 160)) << rgb.problem.toStdString();
    EXPECT_EQ(rgb.thumbnail.pixel(0, 0), qRgb(255, 0, 0));
    EXPECT_EQ(rgb.thumbnail.pixel(319, 159), qRgb(0, 0, 255));
    EXPECT_EQ(rgb.colours, 2);
}

TEST(PreviewPictures, AnythingButAGoodPcxGivesAReasonAndNoPicture)
{
    QTemporaryDir dir;
    const QByteArray good = indexedPcx(64, 64, {kWhite, kBlack}, [](uint32_t x, uint32_t) { return uint8_t(x & 1); });
    writeFile(dir.filePath("text.pcx"), "hello, not a picture");
    writeFile(dir.filePath("cut.pcx"), good.left(good.size() - 900));
    // A header that claims 8000 x 8000 (beyond the preview's bound) with enough run-length
    // data behind it to pass the decoder's own size check.
    QByteArray bomb = good.left(128);
    bomb[8] = char(0x3F), bomb[9] = char(0x1F), bomb[10] = char(0x3F), bomb[11] = char(0x1F);
    bomb[66] = char(0x40), bomb[67] = char(0x1F);
    bomb += QByteArray(8000 * 8000 / 63 * 2 + 2000, char(0xFF));
    writeFile(dir.filePath("bomb.pcx"), bomb);
    ASSERT_EQ(::mkdir(QFile::encodeName(dir.filePath("folder.pcx")).constData(), 0700), 0);

    const std::pair<const char*, QString> cases[] = {
        {"text.pcx", "not a PCX file"},
        {"cut.pcx", "the file is truncated"},
        {"bomb.pcx", "image dimensions exceed the limits"},
        {"folder.pcx", Messages::kPreviewNotRegular},
        {"missing.pcx", Messages::kPreviewFileGone},
    };
    for (const auto& [name, reason] : cases) {
        const Picture p = MakePicture(dir.filePath(name));
        EXPECT_EQ(p.problem, reason) << name;
        EXPECT_TRUE(p.thumbnail.isNull() && p.png.isEmpty()) << name;
    }
    EXPECT_EQ(MakePicture(dir.filePath("cut.pcx")).bytes, good.size() - 900);
    EXPECT_EQ(MakePicture(QString()).problem, Messages::kPreviewFileGone);
}

TEST(PreviewPictures, ADecodeWaitsForRoomForThePictureItsHeaderClaimsAndTakesNoMore)
{
    QTemporaryDir dir;
    const QString claim = dir.filePath("claim.pcx");
    const quint64 cost = Preview::DecodeCost(4096, 4096);
    // Rewritten while it waits to claim twice the picture, as wide or as high: the decode
    // keeps to its charge.
    for (const auto& [w, h] : {std::pair{8192, 4096}, std::pair{4096, 8192}}) {
        writeFile(claim, claimOf(4096, 4096));
        Preview::DecodeBudget budget(cost);
        ASSERT_TRUE(budget.charge(1));
        auto picture = std::async(std::launch::async, [&] { return Preview::MakePictureWithin(claim, budget); });
        ASSERT_TRUE(waitUntil([&] { return budget.waiting() == 1; }));
        EXPECT_EQ(picture.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
        writeFile(claim, claimOf(w, h));
        budget.release(1);
        EXPECT_EQ(picture.get().problem, "image dimensions exceed the limits") << w << "x" << h;
        EXPECT_EQ(budget.peakCharged(), cost);
        EXPECT_EQ(budget.charged(), 0u);
    }

    // A picture that could never fit is refused without a charge.
    Preview::DecodeBudget small(cost - 1);
    EXPECT_EQ(Preview::MakePictureWithin(claim, small).problem, "image dimensions exceed the limits");
    EXPECT_EQ(small.peakCharged(), 0u);
}

TEST(PreviewBudget, ChargesTakeTurnsAndNeverExceedTheTotal)
{
    Preview::DecodeBudget budget(100);
    EXPECT_FALSE(budget.charge(101));

    std::atomic<int> held{0}, most{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t)
        threads.emplace_back([&, t] {
            std::mt19937 random(t);
            for (int i = 0; i < 300; ++i) {
                const int bytes = int(random() % 100) + 1;
                budget.charge(quint64(bytes));
                const int now = held += bytes;
                for (int seen = most; now > seen && !most.compare_exchange_weak(seen, now);)
                    ;
                std::this_thread::yield();
                held -= bytes;
                budget.release(quint64(bytes));
            }
        });
    for (std::thread& t : threads)
        t.join();
    EXPECT_LE(most, 100);
    EXPECT_LE(budget.peakCharged(), 100u);
    EXPECT_EQ(budget.charged(), 0u);

    // A large charge that waits is not passed over by a smaller one that would fit.
    ASSERT_TRUE(budget.charge(60));
    std::jthread large, small;
    // Before the threads are joined, whatever failed: none is left waiting for room.
    const auto unblock = qScopeGuard([&budget] { budget.release(budget.charged()); });
    large = std::jthread([&] { budget.charge(50); });
    ASSERT_TRUE(waitUntil([&] { return budget.waiting() == 1; }));
    small = std::jthread([&] { budget.charge(10); });
    ASSERT_TRUE(waitUntil([&] { return budget.waiting() == 2; }));
    EXPECT_EQ(budget.charged(), 60u);
    budget.release(60);
    large.join();
    small.join();
    EXPECT_EQ(budget.charged(), 60u);
}

TEST(PreviewPictures, ANamedPipeIsNeverOpened)
{
    QTemporaryDir dir;
    const QString fifo = dir.filePath("pipe.pcx");
    const QByteArray native = QFile::encodeName(fifo);
    ASSERT_EQ(::mkfifo(native.constData(), 0600), 0);
    // The kernel notes every open of the pipe, even one that does not wait for a writer.
    const int opens = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(opens, 0);
    ASSERT_GE(::inotify_add_watch(opens, native.constData(), IN_OPEN), 0);
    // A writer lets an open that waits for one go on, so a fault fails here rather than hangs.
    std::thread writer([&] { ::close(::open(native.constData(), O_WRONLY)); });

    const Picture p = MakePicture(fifo);
    alignas(inotify_event) char event[4096];
    EXPECT_LT(::read(opens, event, sizeof event), 0) << "the pipe was opened";
    EXPECT_EQ(p.problem, Messages::kPreviewNotRegular);

    // Held open until the writer is through, whether or not it has reached its open yet.
    const int reader = ::open(native.constData(), O_RDONLY | O_NONBLOCK);
    writer.join();
    ::close(reader);
    ::close(opens);
}

TEST(PreviewTips, AFailedRowKeepsItsReasonAndShowsTheOriginalAlone)
{
    QTemporaryDir dir;
    const QString art = dir.filePath("art.pcx");
    writeFile(art, indexedPcx(8, 6, {kRed, kBlue}, [](uint32_t x, uint32_t) { return uint8_t(x & 1); }));
    const Picture original = MakePicture(art);
    Picture none;
    none.problem = "not a PCX file";
    ReductionRecord failed{art, dir.filePath("tavrik1.pcx"), "1 KB", Messages::kFailToReduce,
                           "bits <8> & planes unknown"};

    const QString tip = Preview::RowTipHtml(failed, original, none);
    EXPECT_TRUE(tip.contains("bits &lt;8&gt; &amp; planes unknown"));
    EXPECT_EQ(tip.count("<img"), 1);
    EXPECT_TRUE(tip.contains("2 colors"));
    EXPECT_FALSE(tip.contains(Messages::kPreviewReduced));
    // Without an original picture, only the reason.
    EXPECT_EQ(Preview::RowTipHtml(failed, none, none),
              "<p><nobr>" + art + "</nobr></p><p>bits &lt;8&gt; &amp; planes unknown</p>");
    EXPECT_TRUE(Preview::PreparingTipHtml(failed).contains("planes unknown"));
    EXPECT_TRUE(Preview::PreparingTipHtml(failed).contains(Messages::kPreparingPreview));

    // A reduced row shows both, the change under the reduced one; a missing copy says why.
    ReductionRecord reduced = failed;
    reduced.sizeAfter = "1 KB";
    reduced.failure.clear();
    Picture smaller = original;
    smaller.bytes = original.bytes / 2;
    const QString pair = Preview::RowTipHtml(reduced, original, smaller);
    EXPECT_EQ(pair.count("<img"), 2);
    EXPECT_TRUE(pair.indexOf(Messages::kPreviewOriginal) < pair.indexOf(Messages::kPreviewReduced));
    EXPECT_TRUE(pair.indexOf(Messages::kPreviewReduced) < pair.indexOf("-50%"));
    // How the copy was made follows its change, and is no reduced row's but its own.
    reduced.madeWith = "One palette for 240 files, 8-bit";
    const QString made = Preview::RowTipHtml(reduced, original, smaller);
    EXPECT_TRUE(made.indexOf("-50%") < made.indexOf("<br>One palette for 240 files, 8-bit"));
    EXPECT_FALSE(pair.contains("One palette"));
    failed.madeWith = reduced.madeWith;
    EXPECT_FALSE(Preview::RowTipHtml(failed, original, none).contains("One palette"));
    const QString gone = Preview::RowTipHtml(reduced, original, MakePicture(dir.filePath("tavrik1.pcx")));
    EXPECT_EQ(gone.count("<img"), 1);
    EXPECT_TRUE(gone.contains(Messages::kPreviewNoPicture.arg(Messages::kPreviewFileGone)));
}

// A finished run in the results window: a reduced row, a failed row with a readable original,
// and a failed row whose input is no picture at all.
class PreviewWindowTest : public AppTest {
protected:
    void SetUp() override
    {
        AppTest::SetUp();
        ASSERT_TRUE(m_dir.isValid());
        const auto stripes = [](uint32_t x, uint32_t) { return uint8_t(x % 3); };
        writeFile(path("photo.pcx"), indexedPcx(640, 480, {kRed, kBlue, kWhite}, stripes));
        writeFile(path("tavrik1.pcx"), indexedPcx(640, 480, {kRed, kBlue}, [](uint32_t x, uint32_t) {
                      return uint8_t(x / 320);
                  }));
        writeFile(path("icon.pcx"), indexedPcx(16, 16, {kBlack, kWhite}, stripes));
        writeFile(path("notes.pcx"), "plain text");
        Form2& f = form2();
        f.setRecords({{path("photo.pcx"), path("tavrik1.pcx"), "3 KB", "1 KB", QString()},
                      {path("icon.pcx"), path("tavrik2.pcx"), "1 KB", Messages::kFailToReduce,
                       "the converter said no"},
                      {path("notes.pcx"), path("tavrik3.pcx"), "", Messages::kFailToReduce,
                       "not a PCX file"}});
        f.show();
        // Activating the window hides tooltips: it comes first, as it does for a user.
        f.activateWindow();
        waitUntil([&f] { return f.isActiveWindow(); }, 2000);
        prompts.messages.clear();
    }
    void TearDown() override
    {
        QToolTip::hideText();
        // Nothing may still run against this case's files when the next begins.
        if (m_blocked)
            m_blocked->release(1000);
        PreviewTips::waitForPreparations();
        ResetService(&Services::makePicture);
        AppTest::TearDown();
    }

    Form2& form2() { return Forms::form2(); }
    PreviewTips& previews() { return form2().previews(); }
    QString path(const char* name) const { return m_dir.filePath(QString::fromLatin1(name)); }
    // A tooltip's first line: the input's full path.
    QString head(const char* name) const { return "<p><nobr>" + path(name) + "</nobr></p>"; }

    // Hovering row as the pointer does, through the list's viewport.
    void hover(int row)
    {
        ListView* list = form2().ListView1;
        const QPoint at = list->visualItemRect(list->topLevelItem(row)).center();
        QHelpEvent event(QEvent::ToolTip, at, list->viewport()->mapToGlobal(at));
        QApplication::sendEvent(list->viewport(), &event);
    }

    // Pictures made only once let go of: each waits for a release.
    void holdPictures()
    {
        m_blocked = std::make_shared<QSemaphore>();
        SetService(&Services::makePicture, [blocked = m_blocked](const QString& p) {
            blocked->acquire();
            return MakePicture(p);
        });
    }

    QTemporaryDir m_dir;
    std::shared_ptr<QSemaphore> m_blocked;
};

TEST_F(PreviewWindowTest, HoverShowsPreparingThenThePairAndDecodesEachFileOnce)
{
    hover(0);
    hover(0);  // before anything came back
    EXPECT_TRUE(QToolTip::isVisible());
    EXPECT_EQ(QToolTip::text(), head("photo.pcx") + "<p>" + Messages::kPreparingPreview + "</p>");
    // The shown tooltip changes to the pictures as soon as they are there.
    ASSERT_TRUE(waitUntil([] { return QToolTip::text().contains("<img"); }));
    const QString tip = QToolTip::text();
    EXPECT_EQ(tip.count("<img"), 2);
    EXPECT_TRUE(tip.startsWith(head("photo.pcx") + "<table"));
    EXPECT_TRUE(tip.contains("3 colors, " + FormatSizeText(QFileInfo(path("photo.pcx")).size())));
    EXPECT_TRUE(tip.contains("2 colors, " + FormatSizeText(QFileInfo(path("tavrik1.pcx")).size())));
    EXPECT_EQ(previews().preparationsStarted(), 2);

    // Hovering again, and hovering away and back, decodes nothing more.
    hover(0);
    EXPECT_EQ(QToolTip::text(), tip);
    hover(1);
    ASSERT_TRUE(waitUntil([this] { return previews().isPrepared(1); }));
    hover(0);
    EXPECT_EQ(QToolTip::text(), tip);
    EXPECT_EQ(previews().preparationsStarted(), 3);  // the failed row needs its input only

    hover(1);
    EXPECT_TRUE(QToolTip::text().startsWith(head("icon.pcx") + "<p>the converter said no</p>"));
    EXPECT_EQ(QToolTip::text().count("<img"), 1);
    hover(2);
    ASSERT_TRUE(waitUntil([this] { return previews().isPrepared(2); }));
    hover(2);
    EXPECT_EQ(QToolTip::text(), head("notes.pcx") + "<p>not a PCX file</p>");
    // The list still reacts to nothing else: rows, selection and window stay as they were.
    EXPECT_EQ(form2().ListView1->rowCount(), 3);
    EXPECT_EQ(form2().ListView1->selectedRow(), -1);
    EXPECT_TRUE(prompts.messages.empty());
}

TEST_F(PreviewWindowTest, SpaceOpensTheSelectedRowsPreviewAtTheRowEscapeClosesItOrGoesBack)
{
    ListView* list = form2().ListView1;
    list->setFocus();
    list->selectRow(0);
    QTest::keyClick(list, Qt::Key_Down);
    QTest::keyClick(list, Qt::Key_Space);
    ASSERT_TRUE(QToolTip::isVisible());
    EXPECT_TRUE(QToolTip::text().startsWith(head("icon.pcx")));
    // At the row: the tooltip's window begins just below the row's top edge.
    const QRect row = list->visualItemRect(list->topLevelItem(1));
    const QWidget* tip = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->inherits("QTipLabel") && w->isVisible())
            tip = w;
    ASSERT_TRUE(tip);
    const QPoint rowTop = list->viewport()->mapToGlobal(row.topLeft());
    EXPECT_GT(tip->y(), rowTop.y());
    EXPECT_LT(tip->y(), rowTop.y() + 3 * row.height());
    EXPECT_LT(std::abs(tip->x() - rowTop.x()), 3 * row.height());
    // It follows the pictures as they come, like a hovered one.
    ASSERT_TRUE(waitUntil([] { return QToolTip::text().contains("<img"); }));

    QTest::keyClick(list, Qt::Key_Escape);
    EXPECT_TRUE(waitUntil([] { return !QToolTip::isVisible(); }));
    EXPECT_TRUE(form2().isVisible());
    EXPECT_TRUE(QFile::exists(path("tavrik1.pcx")));
    // With no preview open, Escape is "< Back", from any control of the window.
    QTest::keyClick(form2().Text1, Qt::Key_Escape);
    EXPECT_FALSE(form2().isVisible());
    EXPECT_FALSE(QFile::exists(path("tavrik1.pcx")));
}

TEST_F(PreviewWindowTest, BackDropsThePicturesAndOnesStillOnTheirWayAreThrownAway)
{
    hover(0);
    ASSERT_TRUE(waitUntil([this] { return previews().isPrepared(0); }));
    holdPictures();
    hover(1);
    hover(2);
    ASSERT_EQ(previews().preparationsStarted(), 4);
    // Preparations leave Qt's own threads free: the interface thread's painting waits for them.
    const auto ran = std::make_shared<std::atomic<bool>>(false);
    QThreadPool::globalInstance()->start([ran] { *ran = true; });
    EXPECT_TRUE(waitUntil([ran] { return bool(*ran); }, 3000));

    form2().PushButton8_Click();
    EXPECT_FALSE(QFile::exists(path("tavrik1.pcx")));
    EXPECT_FALSE(previews().isPrepared(0));
    // The held picture arrives after "< Back": it is not kept.
    m_blocked->release(1000);
    PreviewTips::waitForPreparations();
    QCoreApplication::processEvents();
    EXPECT_FALSE(previews().isPrepared(1));
    EXPECT_FALSE(previews().isPrepared(2));

    // Asked for again, each file is read anew: the reduced copy is gone now.
    previews().tipFor(0);
    EXPECT_EQ(previews().preparationsStarted(), 6);
    ASSERT_TRUE(waitUntil([this] { return previews().isPrepared(0); }));
    EXPECT_TRUE(previews().tipFor(0).contains(Messages::kPreviewNoPicture.arg(Messages::kPreviewFileGone)));
    EXPECT_TRUE(prompts.messages.empty());
}

TEST_F(PreviewWindowTest, HoveringManyRowsKeepsToTheDecodeBudgetAndTheBoundOnPicturesKept)
{
    // Rows of files that claim the largest picture, then more small pictures than the bound
    // holds, each fitted to the full box.
    constexpr int kClaimRows = 3, kRows = 40;
    for (int i = 0; i < 2 * kClaimRows; ++i)
        writeFile(m_dir.filePath(QStringLiteral("claim%1.pcx").arg(i)), claimOf());
    for (int i = 2 * kClaimRows; i < 2 * kRows; ++i)
        writeFile(m_dir.filePath(QStringLiteral("small%1.pcx").arg(i)),
                  indexedPcx(8, 6, {kRed, kBlue}, [i](uint32_t x, uint32_t y) { return uint8_t((x + y + i) & 1); }));
    ReductionRecords records = form2().records();
    for (int row = 0; row < kRows; ++row) {
        const char* kind = row < kClaimRows ? "claim" : "small";
        records.append({m_dir.filePath(QStringLiteral("%1%2.pcx").arg(kind).arg(2 * row)),
                        m_dir.filePath(QStringLiteral("%1%2.pcx").arg(kind).arg(2 * row + 1)),
                        "1 MB", "1 KB", QString()});
    }
    form2().setRecords(records);
    Preview::DecodeBudget& budget = Preview::SharedDecodeBudget();
    qsizetype mostKept = 0;
    QObject::connect(&previews(), &PreviewTips::filePrepared, &previews(),
            [&] { mostKept = std::max(mostKept, previews().keptBytes()); });
    for (int row = 3; row < 3 + kRows; ++row)
        hover(row);
    ASSERT_TRUE(waitUntil([this] { return previews().isPrepared(2 + kRows); }));
    PreviewTips::waitForPreparations();
    QCoreApplication::processEvents();

    EXPECT_LE(budget.peakCharged(), Preview::kDecodeBudget);
    EXPECT_GE(budget.peakCharged(), Preview::DecodeCost(8192, 4096));
    EXPECT_EQ(budget.charged(), 0u);
    EXPECT_LE(mostKept, PreviewTips::kKeptBytes);
    EXPECT_LT(previews().keptPictures(), 2 * (kRows - kClaimRows));
    // The last rows hovered are the ones kept.
    EXPECT_TRUE(previews().isPrepared(2 + kRows));
    EXPECT_FALSE(previews().isPrepared(3 + kClaimRows));
    hover(2 + kRows);
    EXPECT_EQ(QToolTip::text().count("<img"), 2);
    hover(3);
    ASSERT_TRUE(waitUntil([this] { return previews().isPrepared(3); }));
    EXPECT_TRUE(previews().tipFor(3).contains("the file is truncated"));
}

TEST_F(PreviewWindowTest, AnOldPictureIsNeverShownForANewRecord)
{
    // A picture of n colours, each a stripe.
    const auto rewrite = [this](const char* name, uint8_t n) {
        const std::vector<pcx::Rgb> palette = {kRed, kBlue, kWhite, kBlack, {0, 200, 0}, {9, 9, 9}};
        writeFile(path(name), indexedPcx(60, 40, {palette.begin(), palette.begin() + n},
                                         [n](uint32_t x, uint32_t) { return uint8_t(x % n); }));
    };
    const ReductionRecord row0{path("photo.pcx"), path("tavrik1.pcx"), "3 KB", "1 KB", QString()};
    const auto reducedShows = [this](uint8_t n) {
        return waitUntil([this, n] {
            const QString tip = previews().tipFor(0);
            return tip.contains("<img") && tip.contains(QStringLiteral("<b>Reduced</b><br>%1 colors").arg(n));
        });
    };
    ASSERT_TRUE(reducedShows(2));

    // A new run hands over a copy of the same name: the kept picture goes.
    rewrite("tavrik1.pcx", 4);
    form2().setRecords({row0});
    EXPECT_FALSE(previews().isPrepared(0));
    EXPECT_TRUE(reducedShows(4));

    // Pictures of the old copy that arrive after a new run's records are thrown away.
    const auto changeWhileOnTheirWay = [this, &rewrite](uint8_t n, const std::function<void()>& change) {
        auto decoded = std::make_shared<QSemaphore>();
        m_blocked = std::make_shared<QSemaphore>();
        SetService(&Services::makePicture, [decoded, blocked = m_blocked](const QString& p) {
            const Picture picture = MakePicture(p);
            decoded->release();
            blocked->acquire();
            return picture;
        });
        previews().tipFor(0);
        ASSERT_TRUE(decoded->tryAcquire(2, 10000));
        rewrite("tavrik1.pcx", n);
        change();
        m_blocked->release(1000);
        PreviewTips::waitForPreparations();
        QCoreApplication::processEvents();
        EXPECT_FALSE(previews().isPrepared(0));
        ResetService(&Services::makePicture);
    };
    form2().setRecords({row0});
    changeWhileOnTheirWay(5, [&] { form2().setRecords({row0}); });
    EXPECT_TRUE(reducedShows(5));

    // Closing the window drops what is kept.
    form2().Form_QueryUnload();
    EXPECT_FALSE(previews().isPrepared(0));
}

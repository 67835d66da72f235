// Every text of both windows stays readable under a light and a dark desktop palette, measured
// from the windows' own pixels.
#include "core/messages.h"
#include "results/form2.h"
#include "results/preview.h"
#include "shell_support.h"

#include <QApplication>
#include <QComboBox>
#include <QHeaderView>
#include <QHelpEvent>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionGroupBox>
#include <QTest>
#include <QToolTip>

#include <cmath>
#include <map>

namespace {

// A dark desktop as Qt's GTK theme reports one (Adwaita's dark colours).
QPalette darkPalette()
{
    QPalette p;
    const QColor text("#eeeeec"), face("#353535"), base("#2d2d2d"), muted("#919190");
    for (auto g : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        const bool off = g == QPalette::Disabled;
        p.setColor(g, QPalette::Window, face);
        p.setColor(g, QPalette::WindowText, off ? muted : text);
        p.setColor(g, QPalette::Base, base);
        p.setColor(g, QPalette::AlternateBase, QColor("#323232"));
        p.setColor(g, QPalette::Text, off ? muted : Qt::white);
        p.setColor(g, QPalette::PlaceholderText, muted);
        p.setColor(g, QPalette::Button, QColor("#373737"));
        p.setColor(g, QPalette::ButtonText, off ? muted : text);
        p.setColor(g, QPalette::BrightText, Qt::white);
        p.setColor(g, QPalette::Light, QColor("#4a4a4a"));
        p.setColor(g, QPalette::Midlight, QColor("#3f3f3f"));
        p.setColor(g, QPalette::Mid, QColor("#2a2a2a"));
        p.setColor(g, QPalette::Dark, QColor("#1e1e1e"));
        p.setColor(g, QPalette::Shadow, Qt::black);
        p.setColor(g, QPalette::Highlight, g == QPalette::Active ? QColor("#15539e") : QColor("#1f3f66"));
        p.setColor(g, QPalette::HighlightedText, Qt::white);
        p.setColor(g, QPalette::ToolTipBase, QColor("#262626"));
        p.setColor(g, QPalette::ToolTipText, Qt::white);
        p.setColor(g, QPalette::Link, QColor("#3584e4"));
    }
    return p;
}

double luminance(QRgb c)
{
    const auto channel = [](int v) {
        const double s = v / 255.0;
        return s <= 0.04045 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(qRed(c)) + 0.7152 * channel(qGreen(c)) + 0.0722 * channel(qBlue(c));
}

double contrast(QRgb a, QRgb b)
{
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// The contrast of a text against what lies behind it, in area of picture: the area's most
// common colour is the ground, its farthest pixel the core of the text's strokes.
double textContrast(const QImage& picture, QRect area)
{
    area &= picture.rect();
    if (area.isEmpty())
        return 0;
    std::map<QRgb, int> counts;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            ++counts[picture.pixel(x, y) | 0xFF000000u];
    QRgb ground = 0;
    int most = 0;
    for (const auto& [colour, n] : counts)
        if (n > most)
            std::tie(ground, most) = std::tie(colour, n);
    double best = 1;
    for (const auto& entry : counts)
        best = std::max(best, contrast(entry.first, ground));
    return best;
}

// What one window shows: its picture, and the places of its texts in that picture.
class Reading {
public:
    explicit Reading(QWidget& window) : m_window(window), m_picture(window.grab().toImage()) {}

    void expectReadable(const char* what, QWidget* w, QRect area)
    {
        const QRect inWindow(w->mapTo(&m_window, area.topLeft()), area.size());
        const QRect inPicture(inWindow.topLeft() * m_picture.devicePixelRatio(),
                              inWindow.size() * m_picture.devicePixelRatio());
        EXPECT_GE(textContrast(m_picture, inPicture), 4.5) << what;
    }

    // The text drawn centred in w, in w's font.
    void centredText(const char* what, QWidget* w, const QString& text)
    {
        const QSize size = w->fontMetrics().size(Qt::TextShowMnemonic, text);
        expectReadable(what, w, QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size, w->rect()));
    }

    void frameTitle(QGroupBox* frame)
    {
        QStyleOptionGroupBox o;
        o.initFrom(frame);
        o.text = frame->title();
        o.lineWidth = 1;
        o.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
        o.textAlignment = frame->alignment();
        const QRect title = frame->style()->subControlRect(QStyle::CC_GroupBox, &o,
                                                           QStyle::SC_GroupBoxLabel, frame);
        expectReadable(qPrintable(frame->title()), frame, title);
    }

    void optionText(QRadioButton* option)
    {
        QStyleOptionButton o;
        o.initFrom(option);
        o.text = option->text();
        const QRect text = option->style()->subElementRect(QStyle::SE_RadioButtonContents, &o, option);
        expectReadable(qPrintable(option->text()), option, text);
    }

    void listTexts(ListView* list)
    {
        QHeaderView* header = list->header();
        for (int i = 0; i < header->count(); ++i) {
            const QRect section(header->sectionViewportPosition(i), 0, header->sectionSize(i),
                                header->height());
            expectReadable("column header", header->viewport(), section.adjusted(4, 3, -4, -3));
        }
        for (int row = 0; row < list->rowCount(); ++row) {
            const QRect r = list->visualItemRect(list->topLevelItem(row));
            expectReadable(row == list->selectedRow() ? "selected row" : "row", list->viewport(),
                           r.adjusted(2, 1, -2, -1));
        }
    }

    // A text box or drop-down: its text area inside the frame (and left of a drop-down's arrow).
    void boxText(const char* what, QWidget* box)
    {
        const QRect r = box->rect().adjusted(4, 4, -4, -4);
        expectReadable(what, box, qobject_cast<QComboBox*>(box) ? r.adjusted(0, 0, -r.width() / 4, 0) : r);
    }

    // The bar's centred text, the part over the filled chunk and the part beside it apart.
    void barText(ProgressBar* bar)
    {
        const QSize size = bar->fontMetrics().size(0, bar->text());
        const QRect text = QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size, bar->rect());
        const int chunkEnd = bar->width() * bar->value() / 100;
        if (chunkEnd > text.left() + 3)
            expectReadable("bar text over the chunk", bar,
                           QRect(text.topLeft(), QPoint(std::min(chunkEnd - 3, text.right()), text.bottom())));
        if (chunkEnd < text.right() - 3)
            expectReadable("bar text", bar,
                           QRect(QPoint(std::max(chunkEnd + 3, text.left()), text.top()), text.bottomRight()));
    }

private:
    QWidget& m_window;
    QImage m_picture;
};

}  // namespace

class ContrastTest : public ShellTest {
protected:
    void TearDown() override
    {
        QToolTip::hideText();
        ShellTest::TearDown();
        QApplication::setPalette(m_desktop);
    }

    // Both windows as a user sees them, with rows and a selected row in each list.
    void readBothWindows()
    {
        Form1& f1 = started();
        f1.ListView1->addRow(QStringLiteral("/home/user/Pictures/photo.pcx"));
        f1.ListView1->addRow(QStringLiteral("/home/user/Pictures/icon.pcx"));
        f1.ListView1->selectRow(1);
        f1.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&f1));
        for (double at : {0.0, 50.0}) {
            f1.ProgressBar1->setValueReal(at);
            Reading main(f1);
            for (PushButton* b : {f1.PushButton1, f1.PushButton2, f1.PushButton3, f1.PushButton4,
                                  f1.PushButton5, f1.PushButton6})
                main.centredText(qPrintable(b->text()), b, b->text());
            main.frameTitle(f1.Frame1);
            main.listTexts(f1.ListView1);
            main.boxText("colour box", f1.Combo1);
            main.barText(f1.ProgressBar1);
        }

        Form2& f2 = Forms::form2();
        f2.setRecords({{QStringLiteral("/nowhere/photo.pcx"), QStringLiteral("/nowhere/tavrik1.pcx"),
                        QStringLiteral("3 KB"), QStringLiteral("1 KB"), QString()},
                       {QStringLiteral("/nowhere/icon.pcx"), QStringLiteral("/nowhere/tavrik2.pcx"),
                        QStringLiteral("2 KB"), Messages::kFailToReduce, QStringLiteral("not a PCX file")}});
        f2.ListView1->selectRow(0);
        f1.hide();
        f2.show();
        f2.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&f2));
        Reading results(f2);
        for (PushButton* b : {f2.PushButton6, f2.PushButton7, f2.PushButton8})
            results.centredText(qPrintable(b->text()), b, b->text());
        results.frameTitle(f2.Frame1);
        results.frameTitle(f2.Frame3);
        results.optionText(f2.Option3);
        results.optionText(f2.Option4);
        results.listTexts(f2.ListView1);
        results.boxText("folder box", f2.Text1);

        // The preview tooltip of the failed row (its reason, and no picture: the file is gone).
        ListView* list = f2.ListView1;
        const QPoint at = list->visualItemRect(list->topLevelItem(1)).center();
        QHelpEvent hover(QEvent::ToolTip, at, list->viewport()->mapToGlobal(at));
        QApplication::sendEvent(list->viewport(), &hover);
        QWidget* tip = nullptr;
        ASSERT_TRUE(QTest::qWaitFor([&] {
            for (QWidget* w : QApplication::topLevelWidgets())
                if (w->inherits("QTipLabel") && w->isVisible())
                    tip = w;
            return tip && f2.previews().isPrepared(1) && QToolTip::text().contains("not a PCX file");
        }));
        QTest::qWait(0);
        Reading tooltip(*tip);
        tooltip.expectReadable("preview tooltip", tip, tip->rect().adjusted(3, 3, -3, -3));
        // Last: a popup takes the activation, and a tooltip closes as it changes.
        QToolTip::hideText();
        readMenu(f2, *f2.Menu1, f2.mnuSaveTree);
        readMenu(f1, *f1.Menu1, f1.mnuOnePalette);
    }

    // A list's context menu, one item of it under the keyboard (the checked dither shows its
    // mark in the main window's).
    static void readMenu(QWidget& window, QMenu& menu, QAction* active)
    {
        menu.popup(window.mapToGlobal(QPoint(10, 10)));
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&menu));
        menu.setActiveAction(active);
        Reading shown(menu);
        for (QAction* item : menu.actions())
            if (!item->isSeparator())
                shown.expectReadable(qPrintable(item->text()), &menu, menu.actionGeometry(item).adjusted(2, 1, -2, -1));
        menu.hide();
    }

    QPalette m_desktop = QApplication::palette();
};

TEST_F(ContrastTest, EveryTextIsReadableUnderALightDesktop)
{
    QApplication::setPalette(QApplication::style()->standardPalette());
    readBothWindows();
}

TEST_F(ContrastTest, EveryTextIsReadableUnderADarkDesktopSkinnedOrNot)
{
    QApplication::setPalette(darkPalette());
    readBothWindows();
    Forms::destroyAll();
    ASSERT_TRUE(QDir(programFile("x")).mkpath("."));
    writeProgramFile("x/o.cjs", "");
    readBothWindows();
}

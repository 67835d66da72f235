#include "widgets/skin.h"

#include "core/errorreport.h"
#include "core/messages.h"
#include "core/globals.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QRadioButton>
#include <QWidget>

namespace {

constexpr qsizetype kTitleLimit = 40;

constexpr QPalette::ColorGroup kGroups[] = {QPalette::Active, QPalette::Inactive, QPalette::Disabled};

// The desktop's button face with the desktop's text colours that go with it, in each state.
void paintButtonFace(QWidget& w)
{
    const QPalette desktop = QApplication::palette();
    QPalette pal = w.palette();
    for (const QPalette::ColorGroup g : kGroups) {
        pal.setColor(g, QPalette::Window, desktop.color(QPalette::Active, QPalette::Button));
        pal.setColor(g, QPalette::WindowText, desktop.color(g, QPalette::ButtonText));
    }
    w.setPalette(pal);
    w.setAutoFillBackground(true);
}

// A text colour that reads on ground: enabled, or greyed out but still legible when disabled.
QColor fixedTextOn(const QColor& ground, bool disabled)
{
    const bool light = ground.lightnessF() >= 0.5;
    if (!disabled)
        return light ? QColor(Qt::black) : QColor(Qt::white);
    return light ? QColor(0x6b, 0x6b, 0x6b) : QColor(0xa8, 0xa8, 0xa8);
}

void setFixedPair(QPalette& pal, QPalette::ColorRole groundRole, const QColor& ground,
                  std::initializer_list<QPalette::ColorRole> textRoles)
{
    for (const QPalette::ColorGroup g : kGroups) {
        pal.setColor(g, groundRole, ground);
        for (const QPalette::ColorRole text : textRoles)
            pal.setColor(g, text, fixedTextOn(ground, g == QPalette::Disabled));
    }
}

}  // namespace

QColor ButtonFaceColour()
{
    return QApplication::palette().color(QPalette::Active, QPalette::Button);
}

void PaintFixedGround(QWidget& w, const QColor& ground)
{
    QPalette pal = w.palette();
    setFixedPair(pal, QPalette::Window, ground, {QPalette::WindowText});
    w.setPalette(pal);
    w.setAutoFillBackground(true);
}

void PaintFixedButton(QWidget& button, const QColor& face)
{
    QPalette pal = button.palette();
    setFixedPair(pal, QPalette::Button, face, {QPalette::ButtonText});
    button.setPalette(pal);
}

QPalette FixedControlPalette()
{
    const QColor face(0xef, 0xef, 0xef), ink(Qt::black), grey(0x6b, 0x6b, 0x6b), blue(0x00, 0x5a, 0x9e);
    QPalette pal(face, Qt::white);  // shading (light, mid, dark) worked out from the face
    for (const QPalette::ColorGroup g : kGroups) {
        const bool off = g == QPalette::Disabled;
        pal.setColor(g, QPalette::Base, Qt::white);
        pal.setColor(g, QPalette::AlternateBase, QColor(0xf7, 0xf7, 0xf7));
        pal.setColor(g, QPalette::Window, face);
        for (const QPalette::ColorRole text : {QPalette::Text, QPalette::WindowText, QPalette::ButtonText})
            pal.setColor(g, text, off ? grey : ink);
        pal.setColor(g, QPalette::PlaceholderText, grey);
        pal.setColor(g, QPalette::BrightText, Qt::white);
        pal.setColor(g, QPalette::Highlight, off ? face : blue);
        pal.setColor(g, QPalette::HighlightedText, off ? grey : QColor(Qt::white));
        pal.setColor(g, QPalette::ToolTipBase, QColor(0xff, 0xff, 0xdc));
        pal.setColor(g, QPalette::ToolTipText, ink);
        pal.setColor(g, QPalette::Link, blue);
    }
    return pal;
}

void PaintFixedControl(QWidget& control) { control.setPalette(FixedControlPalette()); }

void ApplyFormColours(QWidget& window)
{
    paintButtonFace(window);
    for (QWidget* w : window.findChildren<QWidget*>()) {
        if (qobject_cast<QRadioButton*>(w) || qobject_cast<QCheckBox*>(w)
            || qobject_cast<QGroupBox*>(w) || qobject_cast<QLabel*>(w))
            paintButtonFace(*w);
    }
}

void ApplySkin(QWidget& mainWindow)
{
    const QString path = Globals::programFolder() + QStringLiteral("/x/o.cjs");
    // A folder of that name is no skin.
    if (!QFileInfo(path).isFile())
        return;
    ApplyFormColours(mainWindow);
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        throw AppError(Messages::kSkinUnreadable.arg(QDir::toNativeSeparators(path), f.errorString()));
    mainWindow.setStyleSheet(QString::fromUtf8(f.readAll()));
}

QString AppTitleFor(const QString& productTitle)
{
    QString title = productTitle;
    while (title.size() > kTitleLimit) {
        const qsizetype space = title.lastIndexOf(QLatin1Char(' '));
        if (space < 0)
            return title.left(kTitleLimit);
        title.truncate(space);
    }
    return title;
}

void SetAppTitle() { Globals::setAppTitleText(AppTitleFor(Globals::kProductTitle)); }

QIcon ApplicationIcon()
{
    QIcon icon;
    icon.addFile(QStringLiteral(":/icons/palettrim.svg"));
    icon.addFile(QStringLiteral(":/icons/palettrim-48.png"), QSize(48, 48));
    if (icon.availableSizes().isEmpty() && icon.pixmap(48, 48).isNull())
        throw AppError(Messages::kIconMissing);
    return icon;
}

#include "core/skin.h"

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

void paintButtonFace(QWidget& w, const QColor& colour)
{
    QPalette pal = w.palette();
    pal.setColor(QPalette::Window, colour);
    w.setPalette(pal);
    w.setAutoFillBackground(true);
}

}  // namespace

QColor ButtonFaceColour()
{
    return QApplication::palette().color(QPalette::Active, QPalette::Button);
}

void ApplyFormColours(QWidget& window)
{
    const QColor face = ButtonFaceColour();
    paintButtonFace(window, face);
    for (QWidget* w : window.findChildren<QWidget*>()) {
        if (qobject_cast<QRadioButton*>(w) || qobject_cast<QCheckBox*>(w)
            || qobject_cast<QGroupBox*>(w) || qobject_cast<QLabel*>(w))
            paintButtonFace(*w, face);
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

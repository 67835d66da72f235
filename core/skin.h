// The windows' look and the application title.
#pragma once

#include <QColor>
#include <QString>

class QWidget;

// The desktop's button-face colour, which the windows take in place of their design white.
QColor ButtonFaceColour();

// Skins the main window when "x/o.cjs" exists in the program folder: the button-face colours
// first, then the file as a style sheet. Without the file nothing changes.
// Throws AppError when the skin file exists but cannot be read (the colours stay applied).
void ApplySkin(QWidget& mainWindow);

// Gives window and its option buttons, check boxes, frames and labels the button-face colour.
void ApplyFormColours(QWidget& window);

// The application title made from a product title: words are dropped from its end until it
// is at most 40 characters; a longer title without a space is cut at 40 characters.
QString AppTitleFor(const QString& productTitle);

// Sets the application title from the product title.
void SetAppTitle();

class QIcon;
// The application icon, carried inside the program.
QIcon ApplicationIcon();

// The windows' look and the application title.
#pragma once

#include <QColor>
#include <QPalette>
#include <QString>

class QWidget;

// The desktop's button-face colour, which the windows take in place of their design white.
QColor ButtonFaceColour();

// Gives w a fixed background and, with it, a fixed text colour that reads on it (black on a
// light ground, white on a dark one) whatever the desktop's colours; controls inside w inherit
// both unless they follow the desktop (below).
void PaintFixedGround(QWidget& w, const QColor& ground);
// Gives a push button a fixed face and a fixed caption colour that reads on it.
void PaintFixedButton(QWidget& button, const QColor& face);
// The colours of the controls that show data (the lists, the colour box, the folder box and the
// bar), fixed wholly: black on white, and white on a blue dark enough for a selected row and the
// bar's filled part, whatever the desktop's colours. Every text reads at 4.5:1 or more.
QPalette FixedControlPalette();
// Gives control the fixed colours above, so nothing of the desktop's or of a window around it
// mixes into it.
void PaintFixedControl(QWidget& control);

// Skins the main window when "x/o.cjs" exists in the program folder: the button-face colours
// first, then the file as a style sheet. Without the file nothing changes.
// Throws AppError when the skin file exists but cannot be read (the colours stay applied).
void ApplySkin(QWidget& mainWindow);

// Gives window and its option buttons, check boxes, frames and labels the button-face colour,
// with the desktop's text colour that goes with it.
void ApplyFormColours(QWidget& window);

// The application title made from a product title: words are dropped from its end until it
// is at most 40 characters; a longer title without a space is cut at 40 characters.
QString AppTitleFor(const QString& productTitle);

// Sets the application title from the product title.
void SetAppTitle();

class QIcon;
// The application icon, carried inside the program.
QIcon ApplicationIcon();

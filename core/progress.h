// What a long operation shows of itself while it goes on: a text, how far it has come and a
// note on where it is. The main window's bar is one; the operation never knows which, so it
// runs as well with no window at all.
#pragma once

#include <QString>

class Progress {
public:
    virtual ~Progress() = default;
    // How far, from 0 to 100; a value outside is kept within, a NaN reads as 0.
    virtual void setValueReal(double v) = 0;
    virtual double valueReal() const = 0;
    // What is being done ("Processing: a.pcx"), independent of the value.
    virtual void setBarText(const QString& text) = 0;
    virtual QString barText() const = 0;
    // Where the operation is ("File 2 of 5"), for whoever asks for more than the text; empty
    // once it is over.
    virtual void setFileNote(const QString& note) = 0;
};

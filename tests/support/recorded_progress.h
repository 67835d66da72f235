// A progress that no window shows: it keeps what it is given, within the bar's bounds, and
// every text in the order it came.
#pragma once

#include "core/messages.h"
#include "core/progress.h"

#include <QStringList>
#include <algorithm>
#include <cmath>
#include <functional>

struct RecordedProgress : Progress {
    void setValueReal(double v) override { value = std::isnan(v) ? 0 : std::clamp(v, 0.0, 100.0); }
    double valueReal() const override { return value; }
    void setBarText(const QString& t) override
    {
        text = t;
        texts << t;
        if (onText)
            onText(t);
    }
    QString barText() const override { return text; }
    void setFileNote(const QString& n) override { note = n; }

    double value = 0;
    QString text = Messages::kBarAtRest;
    QString note;
    QStringList texts;
    // Called with every text as it is set.
    std::function<void(const QString&)> onText;
};

// Shared set-up of the run's tests: a private work folder as TEMP, input files, the stand-in
// converter and a tick source that records what the window shows while a converter runs.
#pragma once

#include "app/controls.h"
#include "app/form1.h"
#include "engine/shellandwait.h"
#include "support/test_env.h"

#include <QFile>
#include <QTemporaryDir>
#include <functional>
#include <vector>

class RecordingTicks : public TickSource {
public:
    struct Seen {
        double value;
        QString text;
    };
    explicit RecordingTicks(ProgressBar* bar = nullptr) : bar(bar) { setTickSourceForTesting(this); }
    ~RecordingTicks() override { setTickSourceForTesting(nullptr); }

    ProgressBar* bar;
    int ticksPerWait = 0;               // fired at once when a wait begins
    std::function<void()> onWaitBegins;  // runs before the ticks
    std::vector<Seen> afterTick;         // the bar after each tick
    int waits = 0;

    void start(std::function<void()> tick) override
    {
        ++waits;
        if (onWaitBegins)
            onWaitBegins();
        for (int i = 0; i < ticksPerWait; ++i) {
            tick();
            afterTick.push_back({bar->valueReal(), bar->barText()});
        }
    }
    void stop() override {}
};

class EngineTest : public AppTest {
protected:
    void SetUp() override
    {
        AppTest::SetUp();
        ASSERT_TRUE(m_work.isValid());
        ASSERT_TRUE(m_inputs.isValid());
        m_hadTemp = qEnvironmentVariableIsSet("TEMP");
        m_savedTemp = qgetenv("TEMP");
        qputenv("TEMP", QFile::encodeName(m_work.path()));
        for (const char* v : {"FAKECONV_MODE", "FAKECONV_LOG", "FAKECONV_SLEEP_MS"})
            qunsetenv(v);
    }
    void TearDown() override
    {
        if (m_hadTemp)
            qputenv("TEMP", m_savedTemp);
        else
            qunsetenv("TEMP");
        for (const char* v : {"FAKECONV_MODE", "FAKECONV_LOG", "FAKECONV_SLEEP_MS"})
            qunsetenv(v);
        AppTest::TearDown();
    }

    QString work() const { return m_work.path(); }
    QString inputs() const { return m_inputs.path(); }

    // The stand-in converter, where the run finds an existing converter.
    void installFakeConverter()
    {
        ASSERT_TRUE(QFile::copy(QStringLiteral(FAKECONV_PATH), work() + QStringLiteral("/nconvert")));
    }
    // FAKECONV_LOG pointed into the work folder's sibling; read with converterCalls().
    void logConverterCalls()
    {
        m_log = inputs() + QStringLiteral("/converter.log");
        qputenv("FAKECONV_LOG", QFile::encodeName(m_log));
    }
    // The argument lists of every converter start, in order.
    std::vector<QStringList> converterCalls() const
    {
        std::vector<QStringList> calls(1);
        QFile f(m_log);
        if (!f.open(QIODevice::ReadOnly))
            return {};
        for (const QByteArray& line : f.readAll().split('\n')) {
            if (line == "--")
                calls.emplace_back();
            else if (!line.isEmpty())
                calls.back() << QString::fromUtf8(line);
        }
        calls.pop_back();
        return calls;
    }

    // Copies a test PCX file into the input folder under name; returns its full path.
    QString inputFile(const QString& name, const QString& sample = QStringLiteral("sdl_sample.pcx"))
    {
        const QString path = inputs() + QLatin1Char('/') + name;
        EXPECT_TRUE(QFile::copy(QStringLiteral(ENGINE_TEST_PCX_DIR "/") + sample, path)) << name.toStdString();
        return path;
    }

    // The main window with its colour entries and the given rows.
    Form1& mainWindow(const QStringList& rows = {})
    {
        Form1& f = Forms::form1();
        if (f.Combo1->count() == 0) {
            f.Combo1->addItems({QStringLiteral("256 colors"), QStringLiteral("128 colors"),
                                QStringLiteral("64 colors"), QStringLiteral("32 colors"),
                                QStringLiteral("16 colors"), QStringLiteral("8 colors"),
                                QStringLiteral("4 colors")});
        }
        for (const QString& r : rows)
            f.ListView1->addRow(r);
        return f;
    }

private:
    QTemporaryDir m_work;
    QTemporaryDir m_inputs;
    QString m_log;
    bool m_hadTemp = false;
    QByteArray m_savedTemp;
};

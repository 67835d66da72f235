// The run's tests: TEMP points at a fresh work folder, inputs are copies of test PCX files and
// the converter is the stand-in tests/fakeconv, steered by FAKECONV_* variables.
#pragma once

#include "app/form1.h"
#include "core/progress.h"
#include "engine/shellandwait.h"
#include "engine/workfolder.h"
#include "support/test_env.h"

#include <QDir>
#include <QFile>
#include <functional>

// Replaces the 100 ms ticks: fires ticksPerWait ticks at once when a wait begins and records
// the progress after each.
struct RecordingTicks : TickSource {
    struct Seen {
        double value;
        QString text;
    };
    explicit RecordingTicks(Progress* bar) : bar(bar)
    {
        SetService(&Services::waitTicks, [this]() -> std::unique_ptr<TickSource> {
            return std::make_unique<Forwarded>(*this);
        });
    }
    ~RecordingTicks() override { ResetService(&Services::waitTicks); }
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

    // Each wait's own source, handing its ticks to the one that records them.
    struct Forwarded : TickSource {
        explicit Forwarded(TickSource& to) : to(to) {}
        void start(std::function<void()> tick) override { to.start(std::move(tick)); }
        void stop() override { to.stop(); }
        TickSource& to;
    };

    Progress* bar;
    int ticksPerWait = 0;
    int waits = 0;
    std::function<void()> onWaitBegins;
    std::vector<Seen> afterTick;
};

class EngineTest : public AppTest {
protected:
    void SetUp() override
    {
        AppTest::SetUp();
        m_savedTemp = qgetenv("TEMP");
        qputenv("TEMP", QFile::encodeName(m_work.path()));
    }
    void TearDown() override
    {
        qputenv("TEMP", m_savedTemp);
        ResetService(&Services::converterImage);
        ResetService(&Services::runWorkers);
        for (const char* v : {"FAKECONV_MODE", "FAKECONV_LOG", "FAKECONV_SLEEP_MS", "FAKECONV_TRACE"})
            qunsetenv(v);
        AppTest::TearDown();
    }
    QString work() const { return m_work.path(); }
    QString inputs() const { return m_inputs.path(); }

    // The stand-in becomes the program's own converter, which the run writes into the work
    // folder.
    void installFakeConverter()
    {
        QFile fake(QStringLiteral(FAKECONV_PATH));
        ASSERT_TRUE(fake.open(QIODevice::ReadOnly));
        SetService(&Services::converterImage, [image = fake.readAll()] { return image; });
    }
    void logConverterCalls() { qputenv("FAKECONV_LOG", QFile::encodeName(inputs() + QStringLiteral("/log"))); }
    // The argument list of every converter start so far.
    std::vector<QStringList> converterCalls() const
    {
        QFile f(inputs() + QStringLiteral("/log"));
        std::vector<QStringList> calls(1);
        if (f.open(QIODevice::ReadOnly))
            for (const QByteArray& line : f.readAll().split('\n')) {
                if (line == "--")
                    calls.emplace_back();
                else
                    calls.back() << QString::fromUtf8(line);
            }
        calls.pop_back();
        return calls;
    }
    // A stand-in held by FAKECONV_HOLD has begun to write, and so listens for SIGTERM.
    bool holding() const
    {
        return !QDir(work()).entryList({QStringLiteral(".tavrik*")}, QDir::Files | QDir::Hidden).isEmpty();
    }
    // A copy of a test PCX file in the input folder.
    QString inputFile(const QString& name, const char* sample = "sdl_sample.pcx")
    {
        const QString path = inputs() + QLatin1Char('/') + name;
        EXPECT_TRUE(QFile::copy(QStringLiteral(ENGINE_TEST_PCX_DIR "/") + QLatin1String(sample), path));
        return path;
    }
    Form1& mainWindow(const QStringList& rows)
    {
        Form1& f = Forms::form1();
        // One file at a time, whatever the machine: the waits these tests watch come in turn.
        SetService(&Services::runWorkers, 1);
        f.Combo1->addItems({QStringLiteral("256 colors"), QStringLiteral("16 colors")});
        for (const QString& r : rows)
            f.ListView1->addRow(r);
        return f;
    }

private:
    QTemporaryDir m_work;
    QTemporaryDir m_inputs;
    QByteArray m_savedTemp;
};

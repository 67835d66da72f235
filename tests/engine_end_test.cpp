// How the program ends when its windows are stuck: a program of its own (tests/stuckapp) is
// run to its end, and what it leaves is looked at afterwards.
#include "support/test_env.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <csignal>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>

extern char** environ;

namespace {

class StuckProgramTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The converter outlives the program it belongs to only as an orphan: adopting orphans,
        // the test waits for its end and learns how it ended.
        ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
        for (const char* name : {"a.pcx", "b.pcx"}) {
            const QString path = m_inputs.filePath(QLatin1String(name));
            ASSERT_TRUE(QFile::copy(QStringLiteral(ENGINE_TEST_PCX_DIR "/sdl_sample.pcx"), path));
            m_files << path;
        }
    }
    void TearDown() override { ::prctl(PR_SET_CHILD_SUBREAPER, 0); }

    // Runs the stuck program in mode over both files (the converter holds the second) and
    // waits for its end; gives its wait status.
    int runToItsEnd(const char* mode, const char* onTerm)
    {
        const ScopedEnv hold("FAKECONV_HOLD", m_files[1]);
        const ScopedEnv term("FAKECONV_ON_TERM", QString::fromLatin1(onTerm));
        const ScopedEnv pidFile("FAKECONV_PIDFILE", pidPath());
        const QByteArray work = QFile::encodeName(m_work.path());
        std::vector<QByteArray> args = {STUCKAPP_PATH, mode, work, FAKECONV_PATH};
        for (const QString& f : m_files)
            args.push_back(QFile::encodeName(f));
        std::vector<char*> argv;
        for (QByteArray& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_t pid = 0;
        if (::posix_spawn(&pid, STUCKAPP_PATH, nullptr, nullptr, argv.data(), environ) != 0)
            return -1;
        int status = 0;
        ::waitpid(pid, &status, 0);
        return status;
    }
    // Waits for the converter's end, whoever its parent was by then; gives its wait status.
    int converterEnd()
    {
        QFile f(pidPath());
        if (!f.open(QIODevice::ReadOnly))
            return -1;
        int status = 0;
        return ::waitpid(pid_t(f.readAll().toInt()), &status, 0) > 0 ? status : -1;
    }
    QStringList workFolder() const
    {
        return QDir(m_work.path()).entryList(QDir::Files | QDir::Hidden | QDir::System);
    }
    QString pidPath() const { return m_inputs.filePath(QStringLiteral("converter.pid")); }

    QTemporaryDir m_work;
    QTemporaryDir m_inputs;
    QStringList m_files;
};

}  // namespace

TEST_F(StuckProgramTest, ASignalEndsAStuckProgramWithoutLeftovers)
{
    // A converter that does not heed SIGTERM is killed; what it was writing is removed by its
    // name, and so is the finished copy of the first file.
    const int status = runToItsEnd("stuck", "ignore");
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    const int converter = converterEnd();
    EXPECT_TRUE(WIFSIGNALED(converter) && WTERMSIG(converter) == SIGKILL) << converter;
    EXPECT_EQ(workFolder(), QStringList{QStringLiteral("nconvert")});
}

TEST_F(StuckProgramTest, ASlowButLiveEndIsNotCutShort)
{
    // Its event loop runs for three times the watchdog's patience.
    const int status = runToItsEnd("live", "clean");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    converterEnd();
}

TEST_F(StuckProgramTest, ASecondSignalOfTheSameKindEndsTheProgramTheDefaultWay)
{
    // The first SIGTERM is handled; a SIGHUP after it still is, and the second SIGTERM ends
    // the program as if it had no handler.
    const int status = runToItsEnd("twice", "clean");
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    converterEnd();
}

TEST_F(StuckProgramTest, NoConverterOutlivesTheProgram)
{
    // Killed outright, the program cannot stop its converter: the converter ends by itself,
    // removing what it was writing.
    const int status = runToItsEnd("die", "clean");
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    const int converter = converterEnd();
    EXPECT_TRUE(WIFEXITED(converter) && WEXITSTATUS(converter) == 143) << converter;
    EXPECT_FALSE(workFolder().join(QLatin1Char(' ')).contains(QStringLiteral(".tavrik")));
}

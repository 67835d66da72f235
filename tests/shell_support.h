// A main window started as the program starts it, in a throw-away program folder.
#pragma once

#include "app/form1.h"
#include "app/startup.h"
#include "core/session.h"
#include "support/test_env.h"

#include <QFile>

class ShellTest : public AppTest {
protected:
    void SetUp() override
    {
        AppTest::SetUp();
        ASSERT_TRUE(m_programDir.isValid());
        SetService(&Services::programFolder, m_programDir.path());
        // Never the one start in a hundred that opens the web site, unless a case asks.
        setStartupDraw(0.5);
        SetService(&Services::endProgram, [this](bool running) { endRequests.push_back(running); });
    }
    void TearDown() override
    {
        ResetService(&Services::startupDraw);
        ResetService(&Services::endProgram);
        AppTest::TearDown();
    }

    void setStartupDraw(double r)
    {
        SetService(&Services::startupDraw, [r] { return r; });
    }
    QString programFile(const QString& name) const { return m_programDir.filePath(name); }
    void writeProgramFile(const QString& name, const QByteArray& bytes)
    {
        QFile f(programFile(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
    void shipHandPointer() { ASSERT_TRUE(QFile::copy(QStringLiteral(":/HAND-M.CUR"), programFile("HAND-M.CUR"))); }
    Form1& started()
    {
        Form1& f = Forms::form1();
        f.Form_Load();
        return f;
    }

    std::vector<bool> endRequests;

private:
    QTemporaryDir m_programDir;
};

// Per-case isolation: a fresh settings folder, scripted prompts and new windows.
#pragma once

#include "app/forms.h"
#include "core/globals.h"
#include "support/scripted_prompts.h"

#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <gtest/gtest.h>

// Sets an environment variable for a scope and puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const QString& value)
        : m_name(name), m_had(qEnvironmentVariableIsSet(name)), m_old(qgetenv(name))
    {
        qputenv(name, QFile::encodeName(value));
    }
    ~ScopedEnv()
    {
        if (m_had)
            qputenv(m_name, m_old);
        else
            qunsetenv(m_name);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* m_name;
    bool m_had;
    QByteArray m_old;
};

class AppTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_config.isValid());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_config.path());
        Forms::destroyAll();
    }
    void TearDown() override
    {
        Forms::destroyAll();
        ResetService(&Services::programFolder);
    }

    QTemporaryDir m_config;
    ScriptedPrompts prompts;
};

// Per-case isolation: a fresh settings folder, scripted prompts and new windows.
#pragma once

#include "app/forms.h"
#include "core/globals.h"
#include "support/scripted_prompts.h"

#include <QSettings>
#include <QTemporaryDir>
#include <gtest/gtest.h>

class AppTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_config.isValid());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_config.path());
        Forms::resetForTesting();
    }
    void TearDown() override
    {
        Forms::resetForTesting();
        Globals::setProgramFolderForTesting(QString());
    }

    QTemporaryDir m_config;
    ScriptedPrompts prompts;
};

// A Prompts double: answers come from queues the test fills, every call is recorded.
#pragma once

#include "core/prompts.h"
#include "support/test_services.h"

#include <QStringList>
#include <deque>
#include <functional>

struct ScriptedPrompts : Prompts {
    struct Message {
        QString text;
        QString caption;
        Buttons buttons;
        Icon icon;
    };
    std::vector<Message> messages;
    std::deque<Answer> answers;  // for Yes/No boxes; "No" when empty
    std::deque<QString> inputs;  // input box answers; cancel when empty
    QStringList inputPrompts;
    QStringList inputDefaults;
    std::deque<OpenFileResult> files;
    std::vector<OpenFileOptions> fileRequests;
    std::deque<ColourResult> colours;  // colour dialog answers; cancel when empty
    QStringList colourStarts;
    std::deque<QString> folders;  // folder browser answers; cancel when empty
    QStringList folderStarts;
    QStringList openedFolders;
    bool folderOpens = true;  // what openFolder reports
    QStringList openedUrls;
    // Runs while a box is open, as a modal box's own event loop would, before it answers; none:
    // every box answers at once.
    std::function<void()> whileOpen;

    ScriptedPrompts() { SetService(&Services::prompts, static_cast<Prompts*>(this)); }
    ~ScriptedPrompts() override { ResetService(&Services::prompts); }

    Answer messageBox(const QString& text, const QString& caption, Buttons buttons, Icon icon) override
    {
        open();
        messages.push_back({text, caption, buttons, icon});
        if (buttons == Buttons::Ok)
            return Answer::Ok;
        if (answers.empty())
            return Answer::No;
        Answer a = answers.front();
        answers.pop_front();
        return a;
    }
    QString inputBox(const QString& prompt, const QString&, const QString& def) override
    {
        open();
        inputPrompts << prompt;
        inputDefaults << def;
        if (inputs.empty())
            return QString();
        QString s = inputs.front();
        inputs.pop_front();
        return s;
    }
    OpenFileResult openFileDialog(QWidget*, const OpenFileOptions& o) override
    {
        open();
        fileRequests.push_back(o);
        if (files.empty())
            return {};
        OpenFileResult r = files.front();
        files.pop_front();
        return r;
    }
    ColourResult colourDialog(QWidget*, const QString&, const QString& current) override
    {
        open();
        colourStarts << current;
        if (colours.empty())
            return {};
        ColourResult c = colours.front();
        colours.pop_front();
        return c;
    }
    QString browseForFolder(QWidget*, const QString&, const QString& start) override
    {
        open();
        folderStarts << start;
        if (folders.empty())
            return QString();
        QString s = folders.front();
        folders.pop_front();
        return s;
    }
    bool openFolder(const QString& path) override
    {
        openedFolders << path;
        return folderOpens;
    }
    bool openUrl(const QString& url) override
    {
        openedUrls << url;
        return true;
    }

    void open() const
    {
        if (whileOpen)
            whileOpen();
    }

    QStringList messageTexts() const
    {
        QStringList out;
        for (const auto& m : messages)
            out << m.text;
        return out;
    }
};

#include "core/prompts.h"

#include "core/services.h"

Prompts& prompts() { return *services().prompts; }

Prompts::Answer msgBox(const QString& text, Prompts::Buttons buttons, Prompts::Icon icon)
{
    return prompts().messageBox(text, QString(), buttons, icon);
}

QString BrowseForFolder(QWidget* owner, const QString& prompt, const QString& startFolder)
{
    return prompts().browseForFolder(owner, prompt, startFolder);
}

// Every modal prompt and shell action of the program goes through this interface,
// so tests answer them from a script and never block on a real dialog.
#pragma once

#include <QString>
#include <QStringList>

class QWidget;

class Prompts {
public:
    enum class Buttons { Ok, YesNo };
    enum class Icon { None, Warning };
    enum class Answer { Ok, Yes, No };

    struct OpenFileOptions {
        QString title;
        QString filter;        // "Text|pattern;pattern|Text|pattern" as the common dialog takes it
        QString initialName;
        bool multiSelect = false;
    };
    struct OpenFileResult {
        // The chosen files' full paths, in the dialog's order; none on cancel. Files picked
        // from several folders (recent files, a search) keep their own folders.
        QStringList paths;
        // The dialog could not hold the chosen names.
        bool bufferTooSmall = false;
    };
    struct ColourResult {
        // The user took a colour or "None"; false when the dialog was cancelled.
        bool taken = false;
        // "rrggbb"; empty for "None".
        QString colour;
    };

    virtual ~Prompts() = default;

    // An empty caption shows the application title.
    virtual Answer messageBox(const QString& text, const QString& caption, Buttons buttons,
                              Icon icon) = 0;
    // The typed text; empty when the user cancels.
    virtual QString inputBox(const QString& prompt, const QString& caption,
                             const QString& defaultAnswer) = 0;
    virtual OpenFileResult openFileDialog(QWidget* owner, const OpenFileOptions& options) = 0;
    // A colour dialog titled title that also offers "None", opened at current ("rrggbb", or
    // empty for none).
    virtual ColourResult colourDialog(QWidget* owner, const QString& title, const QString& current) = 0;
    // The chosen folder; empty when the user cancels.
    virtual QString browseForFolder(QWidget* owner, const QString& prompt,
                                    const QString& startFolder) = 0;
    virtual bool openFolder(const QString& path) = 0;
    virtual bool openUrl(const QString& url) = 0;
};

// The prompts in force, as the services give them.
Prompts& prompts();

// Message box with the application title as caption.
Prompts::Answer msgBox(const QString& text, Prompts::Buttons buttons = Prompts::Buttons::Ok,
                       Prompts::Icon icon = Prompts::Icon::None);

// The folder browser (owner, prompt above the tree, start folder); the chosen folder, or the
// empty text when the user cancels.
QString BrowseForFolder(QWidget* owner, const QString& prompt, const QString& startFolder);

#include "core/errorreport.h"

#include "core/globals.h"
#include "core/messages.h"
#include "core/prompts.h"

QString errorReportText(const QString& description, const QString& location, int line)
{
    return description + QStringLiteral("\n") + QStringLiteral("in ") + location + QStringLiteral(" ")
        + QStringLiteral("at line ") + QString::number(line) + QStringLiteral("\n\n")
        + Messages::kErrorMailRequest + Globals::kSupportAddress;
}

ErrorTrap::ErrorTrap(const char* module, const char* procedure)
    : ErrorTrap(Globals::kProjectWord, module, procedure)
{
}

ErrorTrap::ErrorTrap(const QString& projectWord, const char* module, const char* procedure)
    : m_location(projectWord + QLatin1Char('.') + QLatin1String(module) + QLatin1Char('.')
                 + QLatin1String(procedure))
{
}

void ErrorTrap::report(const QString& description, int line) noexcept
{
    ++m_failures;
    try {
        prompts().messageBox(errorReportText(description, m_location, line),
                             Messages::kErrorCaption, Prompts::Buttons::Ok,
                             Prompts::Icon::Warning);
    } catch (...) {
        // A report that cannot be shown must not take the handler down with it.
    }
}

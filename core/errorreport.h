// The one error report of every handler: a failing step shows "Application Error"
// with its location and source line, then the handler goes on with its next step.
//
//   ErrorTrap trap("Form1", "PushButton2_Click");
//   STEP(trap, doSomething());        // reported with this line's number on failure
//   STEP(trap, doSomethingElse());    // still runs after a failure above
//
// A step fails by throwing; AppError carries the description shown to the user.
#pragma once

#include "core/messages.h"

#include <QString>
#include <exception>
#include <stdexcept>
#include <string>

class AppError : public std::runtime_error {
public:
    explicit AppError(const QString& description)
        : std::runtime_error(description.toStdString()), m_description(description) {}
    const QString& description() const { return m_description; }

private:
    QString m_description;
};

// Builds the report text: description, location, line and the support address.
QString errorReportText(const QString& description, const QString& location, int line);

class ErrorTrap {
public:
    // location = project word + "." + module + "." + procedure
    ErrorTrap(const char* module, const char* procedure);
    ErrorTrap(const QString& projectWord, const char* module, const char* procedure);

    QString location() const { return m_location; }
    int failures() const { return m_failures; }

    // Runs one step; a throw is reported and swallowed. True when the step succeeded.
    template <class F>
    bool step(int line, F&& f) noexcept
    {
        try {
            f();
            return true;
        } catch (const AppError& e) {
            report(e.description(), line);
        } catch (const std::exception& e) {
            report(QString::fromLocal8Bit(e.what()), line);
        } catch (...) {
            report(Messages::kUnknownError, line);
        }
        return false;
    }

    void report(const QString& description, int line) noexcept;

private:
    QString m_location;
    int m_failures = 0;
};

#define STEP(trap, ...) (trap).step(__LINE__, [&]() { __VA_ARGS__; })

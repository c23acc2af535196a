#pragma once

#include <QString>
#include <stdexcept>
#include <string>

// The system's error type. A QString message is kept as Latin-1 ('?' for what Latin-1 lacks).
class Exception : public std::runtime_error
{
public:
    explicit Exception(const char* message);
    explicit Exception(const QString& message);
};

// Throws Exception("Assertion failed. Following expression is false: <expr>") when expr is false.
#define NRI_ASSERT(expr)                                                                            \
    do {                                                                                            \
        if (!(expr))                                                                                \
            throw Exception("Assertion failed. Following expression is false: " #expr);          \
    } while (false)

// Modal critical box titled "Error" with the text (Latin-1) and an OK button. GUI thread only.
void ShowErrorMessageToUser(const std::string& text);

// Shows e.what() through ShowErrorMessageToUser; used at the edge of GUI actions.
void HandleException(std::exception& e);

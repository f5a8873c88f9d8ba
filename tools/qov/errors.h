// errors.h - names of the library's error numbers and qov's message helpers.

#ifndef QOV_ERRORS_H
#define QOV_ERRORS_H

#include <cstdint>
#include <string>

namespace qov {

// "ERROR_FILE_CORRUPT" for 1392; "unknown error" for numbers not in the table.
const char* ErrorName(uint32_t code);

// "ERROR_FILE_CORRUPT (1392)".
std::string DescribeError(uint32_t code);

// Prints "qov: MESSAGE" on standard error.
void Report(const std::string& message);

// Prints "qov: MESSAGE: ERROR_NAME (N)" on standard error.
void ReportError(const std::string& message, uint32_t code);

// 'text' in single quotes, for messages.
std::string Quote(const std::string& text);

}  // namespace qov

#endif  // QOV_ERRORS_H

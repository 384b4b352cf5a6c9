// Precondition checks that stay active in every build, release included: a failed one
// names the expression, the file and the line, and ends the program. They mark
// programming errors, never bad user input.
#pragma once

[[noreturn]] void seamwrightAssertionFailed(const char* expression, const char* file, int line);

#define SW_ASSERT(expression) \
    ((expression) ? static_cast<void>(0) : seamwrightAssertionFailed(#expression, __FILE__, __LINE__))

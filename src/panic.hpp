// The one way a computation stops: a panic carries its message and where it
// was raised. It unwinds to the Python boundary, which reports it on standard
// error and raises it as an exception; nothing below the boundary catches it.
#pragma once

#include <string>

namespace tilewise {

struct Panic {
    std::string message;
    const char* file;
    int line;
};

// Stops the computation with `message`. The default arguments take the
// caller's location (a builtin of both GCC and Clang).
[[noreturn]] void panic(std::string message, const char* file = __builtin_FILE(),
                        int line = __builtin_LINE());

// Writes a short report of the panic to standard error: thread, location and
// message.
void report(const Panic& p);

}  // namespace tilewise

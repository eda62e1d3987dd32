#include "panic.hpp"

#include <cstdio>
#include <sstream>
#include <thread>

namespace tilewise {

void panic(std::string message, const char* file, int line) {
    throw Panic{std::move(message), file, line};
}

void report(const Panic& p) {
    std::ostringstream thread;
    thread << std::this_thread::get_id();
    std::fprintf(stderr, "thread %s panicked at %s:%d:\n%s\n", thread.str().c_str(), p.file, p.line,
                 p.message.c_str());
    std::fflush(stderr);
}

}  // namespace tilewise

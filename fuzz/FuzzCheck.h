#pragma once
// The fuzzers' check: a broken promise prints where it was found and aborts, which libFuzzer
// reports with the input that caused it.

#include <cstdio>
#include <cstdlib>

[[noreturn]] inline void fuzzCheckFailed(char const* file, int line, char const* what) {
    std::fprintf(stderr, "%s:%d: invariant violated: %s\n", file, line, what);
    std::fflush(stderr);
    std::abort();
}

#define FUZZ_CHECK(cond) ((cond) ? void() : fuzzCheckFailed(__FILE__, __LINE__, #cond))

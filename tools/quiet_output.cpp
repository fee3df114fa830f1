// quiet_output.cpp - the discarding buffer and standard output's own while it is set.
#include "quiet_output.h"

#include <cstdio>
#include <iostream>

namespace {

class Discard : public std::streambuf {
protected:
    int overflow(int c) override { return c == EOF ? 0 : c; }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

Discard g_discard;
std::streambuf* g_saved = nullptr;

}  // namespace

std::streambuf* discarding_buffer() { return &g_discard; }

void quiet_begin() {
    if (g_saved == nullptr) g_saved = std::cout.rdbuf(&g_discard);
}

void quiet_end() {
    if (g_saved != nullptr) std::cout.rdbuf(g_saved);
    g_saved = nullptr;
}

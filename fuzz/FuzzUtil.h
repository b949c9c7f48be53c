#pragma once
// Helpers shared by the fuzz targets.
#include <libxml/parser.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "daemon/VEXAProxy.h"

namespace fuzz {

// Fails the run with a message libFuzzer keeps next to the input.
#define FUZZ_CHECK(cond)                                                           \
    do {                                                                           \
        if (!(cond)) {                                                             \
            std::fprintf(stderr, "check failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
            std::abort();                                                          \
        }                                                                          \
    } while (0)

inline void NoXmlMessages(void*, const char*, ...) {}

// libxml2 quiet (its messages would swamp the fuzzer's output) and initialised once.
inline void InitXml() {
    xmlInitParser();
    xmlSetGenericErrorFunc(nullptr, NoXmlMessages);
}

// A file of this process under /tmp holding the given bytes; returns its path.
inline std::string WriteTemp(const char* tag, const uint8_t* data, size_t size) {
    std::string path = "/tmp/vexafuzz-" + std::string(tag) + "-" + std::to_string(::getpid()) + ".xml";
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) std::abort();
    if (size) std::fwrite(data, 1, size, f);
    std::fclose(f);
    return path;
}

// Lines the tested code queued on the daemon's logs (never opened here) are dropped each run, so
// memory stays flat.
inline void DrainLogs() {
    _Modul.m_Log.TakeQueued();
    _Modul.m_LogDNS.TakeQueued();
}

}  // namespace fuzz

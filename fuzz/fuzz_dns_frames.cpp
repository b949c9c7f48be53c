// The splitting of a DNS stream over TCP into messages. The input is the stream; its first byte
// chooses the sizes of the pieces it arrives in, so that a prefix or a message split anywhere is
// tried. Whatever the pieces, the messages taken, framed again, are the stream up to where it
// broke, and a break is only ever a length below a header.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "dns/DNSFrames.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const size_t piece = 1 + data[0] % 64;
    const char* stream = reinterpret_cast<const char*>(data + 1);
    const size_t n = size - 1;
    DNSFrames frames;
    std::string msg, again;
    DNSFrames::Next next = DNSFrames::Next::kMore;
    for (size_t at = 0; at < n && next != DNSFrames::Next::kEmpty && next != DNSFrames::Next::kShort; at += piece) {
        frames.Feed(stream + at, std::min(piece, n - at));
        while ((next = frames.Take(msg)) == DNSFrames::Next::kMessage) {
            if (msg.size() < DNSFrames::kHeader) std::abort();
            DNSFrames::Frame(again, msg.data(), msg.size());
        }
    }
    if (again.size() > n || again.compare(0, again.size(), stream, again.size()) != 0) std::abort();
    if (next == DNSFrames::Next::kMore && again.size() < n && !frames.Partial()) std::abort();
    if (next == DNSFrames::Next::kMore && again.size() == n && frames.Partial()) std::abort();
    return 0;
}

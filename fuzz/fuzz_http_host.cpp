// The HTTP Host check on a client's first piece of data, cut the way the relay cuts it: at the first
// zero byte, then at the end of the header block. The first input line is the required host.
#include <cstring>
#include <string>

#include "fuzz/FuzzUtil.h"
#include "tcp/CTCPPort.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string in(reinterpret_cast<const char*>(data), size);
    size_t nl = in.find('\n');
    std::string host = nl == std::string::npos ? std::string("portal") : in.substr(0, nl);
    std::string piece = nl == std::string::npos ? in : in.substr(nl + 1);
    piece = piece.c_str();  // the relay sees text up to the first zero byte
    size_t end = piece.find("\r\n\r\n");
    if (end == std::string::npos) return 0;
    std::string header = piece.substr(0, end);
    bool v4 = TCPCliT<AF_INET>::IsHostAccepted(header, host);
    bool v6 = TCPCliT<AF_INET6>::IsHostAccepted(header, host);
    FUZZ_CHECK(v4 == v6);
    return 0;
}

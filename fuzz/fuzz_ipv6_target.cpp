// The IPv6 target text of a rule: the system parser, then the lenient group reader.
#include <string>

#include "config/ErrorXML.h"
#include "fuzz/FuzzUtil.h"
#include "util/Net.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    try {
        SockAddr a = net::ParseIPv6Target(text, 8080);
        FUZZ_CHECK(a.Family() == AF_INET6);
        (void)a.ToLog().ToStr();
    } catch (const ErrorXML&) {
    }
    return 0;
}

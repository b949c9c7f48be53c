// An Allow text: what it reads as must read back the same from its canonical form, and serve the
// same clients; the clients probed are taken from the input's first bytes.
#include <netinet/in.h>

#include <algorithm>
#include <cstring>
#include <string_view>

#include "fuzz/FuzzUtil.h"
#include "util/AllowList.h"
#include "util/Net.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const AllowList list = AllowList::Parse(text);
    for (const auto& bad : list.BadEntries()) FUZZ_CHECK(bad.text.size() <= AllowList::kShownBytes + 3 && !bad.why.empty());
    const std::string shown = list.Text();
    const AllowList again = AllowList::Parse(list.ServesNobody() ? "" : shown);
    FUZZ_CHECK(again.BadEntries().empty() && again.Text() == shown);

    sockaddr_in a4{};
    a4.sin_family = AF_INET;
    std::memcpy(&a4.sin_addr, data, std::min(size, sizeof a4.sin_addr));
    sockaddr_in6 a6{};
    a6.sin6_family = AF_INET6;
    std::memcpy(&a6.sin6_addr, data, std::min(size, sizeof a6.sin6_addr));
    sockaddr_in6 mapped{};
    mapped.sin6_family = AF_INET6;
    mapped.sin6_addr.s6_addr[10] = mapped.sin6_addr.s6_addr[11] = 0xFF;
    std::memcpy(&mapped.sin6_addr.s6_addr[12], &a4.sin_addr, 4);
    const SockAddr v4(a4), v6(a6), v4mapped(mapped);
    FUZZ_CHECK(list.Allows(v4) == again.Allows(v4) && list.Allows(v6) == again.Allows(v6));
    FUZZ_CHECK(list.Allows(v4) == list.Allows(v4mapped));
    return 0;
}

// The V7 cloud channel check on a device datagram; and, for the input read as a plain packet, the
// scrambling round trip.
#include <cstring>
#include <vector>

#include "cloud/PackV7.h"
#include "fuzz/FuzzUtil.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int len = static_cast<int>(size > 70000 ? 70000 : size);
    CPackV7 pack;
    bool ok = pack.ChanCloudDecod(data, len);
    FUZZ_CHECK(pack.Length() <= CPackV7::kMaxPacket);
    if (ok) {
        FUZZ_CHECK(pack.Length() >= CPackV7::kMinPacket);
        (void)pack.Src().GetString().ToStr();
        (void)pack.Dst().GetString().ToStr();
    }

    if (len < 1) return 0;
    const unsigned char seed = data[0];
    std::vector<unsigned char> out(static_cast<size_t>(len) + 3);
    int n = CPackV7::ChanCloudCod(data, len, seed, out.data());
    if (n == 0) {
        FUZZ_CHECK(len < CPackV7::kMinPacket || len > CPackV7::kMaxPacket);
        return 0;
    }
    FUZZ_CHECK(n == len + 3);
    CPackV7 back;
    bool accepted = back.ChanCloudDecod(out.data(), n);
    FUZZ_CHECK(back.Length() == len);
    FUZZ_CHECK(std::memcmp(back.Data(), data, size) == 0);
    const unsigned type = data[0];
    FUZZ_CHECK(accepted == (type == 3 || type == 4 || type == 7 || type == 8));
    return 0;
}

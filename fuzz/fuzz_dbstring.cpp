// Text from UTF-8: malformed input gives the marker text, well-formed input survives the round trip.
#include <string>

#include "fuzz/FuzzUtil.h"
#include "util/DBString.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string in(reinterpret_cast<const char*>(data), size);
    DBString s(in);
    std::wstring decoded;
    bool ok = DBString::DecodeUtf8(in.data(), in.size(), decoded);
    if (ok) {
        FUZZ_CHECK(s == DBString(decoded));
        FUZZ_CHECK(s.ToStr() == in);
    } else {
        FUZZ_CHECK(s == L"?utf-32?");
    }
    // The zero-terminated constructor reads up to the first zero byte.
    DBString z(in.c_str());
    (void)z.ToStr();
    // Formatting with the text as an argument (the log lines' way).
    DBString f;
    f.Format(L"%ls|%d", s.c_str(), static_cast<int>(size));
    FUZZ_CHECK(f.size() >= 2);
    (void)s.Trim().Left(3).SubStr(1, 5).Find(L'.', 0);
    return 0;
}

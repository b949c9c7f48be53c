// Splitting at a separator: the first input byte chooses the separator, the rest is the text.
#include <string>
#include <vector>

#include "fuzz/FuzzUtil.h"
#include "util/ParseString.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const char* const kSeparators[] = {"\r\n", " ", ": ", ":", "", "\r\n\r\n", "aa"};
    if (size < 1) return 0;
    const char* sep = kSeparators[data[0] % (sizeof kSeparators / sizeof kSeparators[0])];
    std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::vector<std::string> parts;
    int k = ParseString(text, sep, parts);
    FUZZ_CHECK(k == static_cast<int>(parts.size()));
    if (text.empty()) {
        FUZZ_CHECK(k == 0);
        return 0;
    }
    // Joining the parts again gives the text back.
    std::string joined;
    for (int i = 0; i < k; ++i) {
        if (i) joined += sep;
        joined += parts[static_cast<size_t>(i)];
    }
    FUZZ_CHECK(joined == text);
    return 0;
}

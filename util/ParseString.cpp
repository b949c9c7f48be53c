#include "util/ParseString.h"

#include <cstring>

int ParseString(const std::string& text, const char* separator, std::vector<std::string>& parts) {
    parts.clear();
    if (text.empty()) return 0;
    size_t sepLen = separator ? std::strlen(separator) : 0;
    if (sepLen == 0) {  // nothing to split at: the whole text is the one part
        parts.push_back(text);
        return 1;
    }
    size_t from = 0;
    for (;;) {
        size_t at = text.find(separator, from, sepLen);
        if (at == std::string::npos) break;
        parts.push_back(text.substr(from, at - from));
        from = at + sepLen;
    }
    parts.push_back(text.substr(from));
    return static_cast<int>(parts.size());
}

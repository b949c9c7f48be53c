#include "util/DBString.h"

#include <cwchar>
#include <memory>

namespace {
const wchar_t kBadUtf8In[] = L"?utf-32?";
constexpr size_t kFormatBuffer = 32768;
// Log lines and prefixes fit; a longer text is formatted again into the full buffer.
constexpr size_t kFormatStack = 512;
}  // namespace

bool DBString::DecodeUtf8(const char* data, size_t len, std::wstring& out) {
    out.clear();
    out.reserve(len);
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    size_t i = 0;
    while (i < len) {
        unsigned char b = p[i];
        if (b < 0x80) {
            out.push_back(static_cast<wchar_t>(b));
            ++i;
            continue;
        }
        int extra;
        char32_t cp;
        char32_t min;
        if ((b & 0xE0) == 0xC0) { extra = 1; cp = b & 0x1F; min = 0x80; }
        else if ((b & 0xF0) == 0xE0) { extra = 2; cp = b & 0x0F; min = 0x800; }
        else if ((b & 0xF8) == 0xF0) { extra = 3; cp = b & 0x07; min = 0x10000; }
        else return false;
        if (i + extra >= len) return false;  // sequence cut off at the end
        for (int k = 1; k <= extra; ++k) {
            unsigned char c = p[i + k];
            if ((c & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (c & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        out.push_back(static_cast<wchar_t>(cp));
        i += extra + 1;
    }
    return true;
}

bool DBString::EncodeUtf8(const std::wstring& in, std::string& out) {
    out.clear();
    return AppendUtf8(in, out);
}

bool DBString::AppendUtf8(std::wstring_view in, std::string& out) {
    // Log text is mostly ASCII: one byte per character, copied in a tight loop into room made
    // once. Only a text with other characters gets room for the longest encoding of the rest; the
    // string is cut to what was written at the end, so no capacity is tested per character.
    const size_t at = out.size();
    const wchar_t* const src = in.data();
    const size_t n = in.size();
    out.resize(at + n);
    char* const ascii = out.data() + at;
    size_t i = 0;
    for (; i < n && static_cast<char32_t>(src[i]) < 0x80; ++i) ascii[i] = static_cast<char>(src[i]);
    if (i == n) return true;
    out.resize(at + i + 4 * (n - i));
    char* const begin = out.data() + at;
    char* p = begin + i;
    bool ok = true;
    for (wchar_t wc : in.substr(i)) {
        auto cp = static_cast<char32_t>(wc);
        if (cp < 0x80) {
            *p++ = static_cast<char>(cp);
        } else if (cp < 0x800) {
            *p++ = static_cast<char>(0xC0 | (cp >> 6));
            *p++ = static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            if (cp >= 0xD800 && cp <= 0xDFFF) {
                ok = false;
                break;
            }
            *p++ = static_cast<char>(0xE0 | (cp >> 12));
            *p++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            *p++ = static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp <= 0x10FFFF) {
            *p++ = static_cast<char>(0xF0 | (cp >> 18));
            *p++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            *p++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            *p++ = static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            ok = false;
            break;
        }
    }
    out.resize(at + static_cast<size_t>(p - begin));
    return ok;
}

DBString::DBString(const char* utf8) {
    if (!utf8) return;
    if (!DecodeUtf8(utf8, std::char_traits<char>::length(utf8), *this)) assign(kBadUtf8In);
}

DBString::DBString(const std::string& utf8) {
    if (!DecodeUtf8(utf8.data(), utf8.size(), *this)) assign(kBadUtf8In);
}

std::string DBString::ToStr() const {
    std::string out;
    if (!EncodeUtf8(*this, out)) out = kBadUtf8;
    return out;
}

int DBString::Find(wchar_t c, int from) const {
    if (from < 0 || static_cast<size_t>(from) >= size()) return -1;
    size_t pos = find(c, static_cast<size_t>(from));
    return pos == npos ? -1 : static_cast<int>(pos);
}

DBString DBString::SubStr(int pos, int count) const {
    if (pos < 0 || static_cast<size_t>(pos) >= size()) return DBString();
    return DBString(substr(static_cast<size_t>(pos), count < 0 ? npos : static_cast<size_t>(count)));
}

DBString DBString::Left(int n) const {
    if (n < 0 || static_cast<size_t>(n) > size()) return *this;
    return DBString(substr(0, static_cast<size_t>(n)));
}

DBString& DBString::operator+=(const char* utf8) {
    append(DBString(utf8));
    return *this;
}

DBString& DBString::Trim() {
    size_t b = find_first_not_of(L' ');
    if (b == npos) {
        clear();
        return *this;
    }
    size_t e = find_last_not_of(L' ');
    assign(substr(b, e - b + 1));
    return *this;
}

DBString& DBString::VFormat(const wchar_t* format, va_list args, bool append) {
    // Most texts fit the stack buffer. A result that does not (or a conversion that fails) is
    // formatted again into the full buffer, which keeps what vswprintf wrote so far, cut to fit.
    wchar_t small[kFormatStack];
    va_list again;
    va_copy(again, args);
    const wchar_t* text = small;
    std::unique_ptr<wchar_t[]> big;
    if (vswprintf(small, kFormatStack, format, args) < 0) {
        big = std::make_unique_for_overwrite<wchar_t[]>(kFormatBuffer);
        big[0] = L'\0';
        vswprintf(big.get(), kFormatBuffer, format, again);
        big[kFormatBuffer - 1] = L'\0';
        text = big.get();
    }
    va_end(again);
    if (append) this->append(text);
    else assign(text);
    return *this;
}

DBString& DBString::Format(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    VFormat(format, args, false);
    va_end(args);
    return *this;
}

DBString& DBString::AppendFormat(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    VFormat(format, args, true);
    va_end(args);
    return *this;
}

DBString operator+(const DBString& a, const DBString& b) {
    DBString r(a);
    r.append(b);
    return r;
}
DBString operator+(const DBString& a, const wchar_t* b) {
    DBString r(a);
    if (b) r.append(b);
    return r;
}
DBString operator+(const wchar_t* a, const DBString& b) {
    DBString r(a);
    r.append(b);
    return r;
}
DBString operator+(const DBString& a, const char* utf8) {
    DBString r(a);
    r += utf8;
    return r;
}

// Comparison stops at the first zero character of either side, like the C texts they mirror.
bool operator==(const DBString& a, const DBString& b) { return std::wcscmp(a.c_str(), b.c_str()) == 0; }
bool operator==(const DBString& a, const wchar_t* b) { return std::wcscmp(a.c_str(), b ? b : L"") == 0; }
bool operator!=(const DBString& a, const wchar_t* b) { return !(a == b); }

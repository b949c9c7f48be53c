#pragma once
// The program's text type: a wide string of code points (UTF-32), converted from and to UTF-8 at
// every edge (files, sockets, libxml2).
#include <cstdarg>
#include <string>
#include <string_view>

class DBString : public std::wstring {
public:
    DBString() = default;
    DBString(const std::wstring& s) : std::wstring(s) {}
    DBString(std::wstring&& s) : std::wstring(std::move(s)) {}
    DBString(const wchar_t* s) : std::wstring(s ? s : L"") {}
    DBString(const wchar_t* s, size_t n) : std::wstring(s, n) {}
    // UTF-8 in; malformed input (RFC 3629) gives "?utf-32?".
    DBString(const char* utf8);
    DBString(const std::string& utf8);

    // UTF-8 out; a character above U+10FFFF (or a surrogate) gives "?utf-8?".
    std::string ToStr() const;

    int Find(wchar_t c, int from) const;
    DBString SubStr(int pos, int count) const;
    DBString Left(int n) const;

    DBString& operator+=(wchar_t c) { push_back(c); return *this; }
    DBString& operator+=(const wchar_t* s) { if (s) append(s); return *this; }
    DBString& operator+=(const char* utf8);
    DBString& operator+=(const std::wstring& s) { append(s); return *this; }

    DBString& Trim();
    DBString& Format(const wchar_t* format, ...);
    DBString& AppendFormat(const wchar_t* format, ...);
    DBString& VFormat(const wchar_t* format, va_list args, bool append);

    // Decodes UTF-8; returns false on malformed input.
    static bool DecodeUtf8(const char* data, size_t len, std::wstring& out);
    static bool EncodeUtf8(const std::wstring& in, std::string& out);
    // Appends in as UTF-8 to out; false when a character cannot be encoded (out then holds what
    // came before it).
    static bool AppendUtf8(std::wstring_view in, std::string& out);
    // What ToStr gives for a text that cannot be encoded.
    static constexpr const char* kBadUtf8 = "?utf-8?";
};

DBString operator+(const DBString& a, const DBString& b);
DBString operator+(const DBString& a, const wchar_t* b);
DBString operator+(const wchar_t* a, const DBString& b);
DBString operator+(const DBString& a, const char* utf8);
bool operator==(const DBString& a, const DBString& b);
bool operator==(const DBString& a, const wchar_t* b);
bool operator!=(const DBString& a, const wchar_t* b);

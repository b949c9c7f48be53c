#pragma once
// Digits written straight into a text: the hexadecimal of dump lines and DNS log records and the
// zero-padded decimals of log prefixes, without a formatting call per number.
#include <cstddef>
#include <cstdint>

namespace digits {
inline constexpr char kHex[] = "0123456789ABCDEF";

// Writes the two upper-case hexadecimal digits of b at p (a narrow or wide text); returns the end.
template <class C>
inline C* Hex(C* p, unsigned char b) {
    p[0] = static_cast<C>(kHex[b >> 4]);
    p[1] = static_cast<C>(kHex[b & 0x0F]);
    return p + 2;
}

// The longest text Decimal writes: a sign and the ten digits of an int, or width characters.
constexpr size_t DecimalMax(int width) { return width > 11 ? static_cast<size_t>(width) : 11; }

// Writes u in decimal, zero-padded to width digits, at p; returns the end (printf's "%0<width>u").
inline char* Unsigned(char* p, uint32_t u, int width = 1) {
    char rev[10];
    int n = 0;
    do {
        rev[n++] = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u != 0);
    for (int i = n; i < width; ++i) *p++ = '0';
    while (n > 0) *p++ = rev[--n];
    return p;
}

// Writes v as printf's "%0<width>d" does (zero-padded to width characters, a minus sign counting
// towards them; width 1 is plain "%d") at p, which has room for DecimalMax(width); returns the end.
inline char* Decimal(char* p, int v, int width = 1) {
    if (v >= 0) return Unsigned(p, static_cast<uint32_t>(v), width);
    *p++ = '-';
    return Unsigned(p, 0u - static_cast<uint32_t>(v), width - 1);
}
}  // namespace digits

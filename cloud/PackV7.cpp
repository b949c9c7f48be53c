#include "cloud/PackV7.h"

#include <algorithm>
#include <cstring>

void CIdentV7::Clear() {
    m_Node = 0;
    m_Sub = 0;
}

void CIdentV7::SetValue(const unsigned char* field) {
    Clear();
    if (field == nullptr) return;
    m_Sub = field[0];
    m_Node = field[1] | (field[2] << 8) | (field[3] << 16);
}

DBString CIdentV7::GetString() const { return DBString().Format(L"%d.%d", m_Node, m_Sub); }

namespace {
using Byte = unsigned char;

constexpr int kSeedByteXor = 0xCB;   // the trailing byte, descrambled
constexpr int kBackwardXor = 0xCA;   // start of the backward chain
constexpr int kSecondStageAt = 11;   // packet index from which the b/q states join the forward pass
constexpr int kHeaderLength = 12;    // a packet must be longer than this to carry a header

Byte T(int i) { return CPackV7::Step3[i & 0xFF]; }
Byte K(int i) { return CPackV7::CloudKey[i & 15]; }

// Key index at the start of the forward pass, from the seed.
int FirstKeyIndex(Byte s) { return ((s & 3) << 2) | (s >> 6); }

// The b and q states of the second stage, derived from the first eleven packet bytes and the seed.
void SecondStage(const Byte* packet, Byte s, Byte& b, int& q) {
    Byte y[kSecondStageAt];
    Byte prev = 19;
    for (int k = 0; k < kSecondStageAt; ++k) {
        prev = static_cast<Byte>((prev + s) ^ T(packet[k]));
        y[k] = prev;
    }
    Byte qv = static_cast<Byte>(0x87 ^ s);
    for (int k = 0; k < kSecondStageAt - 1; ++k) qv = static_cast<Byte>(((qv + y[k]) ^ T(packet[k])) ^ s);
    b = y[kSecondStageAt - 1];
    q = ((qv + y[kSecondStageAt - 1]) ^ T(packet[kSecondStageAt - 1])) & 15;
}

// The hash over everything but the trailing byte that, with the trailing byte, gives the seed.
Byte SeedHash(const Byte* w, int count) {
    Byte h = 0;
    for (int i = 0; i < count; ++i) h = T(h ^ w[i]);
    return h;
}
}  // namespace

CPackV7::CPackV7() { Reset(); }

void CPackV7::Reset() {
    std::memset(m_Buf, 0, sizeof m_Buf);
    m_Length = 0;
    m_Type = 0;
    m_Src.Clear();
    m_Dst.Clear();
}

uint16_t CPackV7::Crc16(const unsigned char* data, int len) {
    uint16_t crc = 0;
    for (int i = 0; i < len; ++i) {
        crc = static_cast<uint16_t>(crc ^ (data[i] << 8));
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

void CPackV7::UnPack() {
    m_Type = m_Buf[0];
    m_Src.SetValue(m_Buf + 3);
    m_Dst.SetValue(m_Buf + 7);
}

bool CPackV7::ChanCloudDecod(const unsigned char* data, int len) {
    Reset();
    if (data == nullptr || len < kMinDatagram) return false;
    const int n = std::min(len, kBufSize);
    const int m = n - 3;
    Byte* w = m_Buf;
    std::memcpy(w, data, static_cast<size_t>(n));

    const Byte z = w[n - 1];
    w[n - 1] = static_cast<Byte>(z ^ kSeedByteXor);

    Byte p = static_cast<Byte>(z ^ kBackwardXor);
    for (int i = n - 2, k = 5; i >= 0; --i, k = (k + 1) & 15) {
        Byte c = static_cast<Byte>(T(K(k)) ^ w[i]);
        w[i] = static_cast<Byte>(p ^ c);
        p = c;
    }

    const Byte s = static_cast<Byte>(SeedHash(w, n - 1) ^ w[n - 1]);

    p = s;
    int j = FirstKeyIndex(s);
    Byte b = 19;
    int q = 0;
    for (int i = 0; i < m + 2; ++i) {
        Byte a = w[i];
        if (i < m) {
            if (i == kSecondStageAt) SecondStage(w, s, b, q);
            if (i >= kSecondStageAt) {
                Byte d = static_cast<Byte>(K(q) ^ a);
                q = (a + 3) & 15;
                a = static_cast<Byte>(b ^ d);
                b = d;
            }
        }
        Byte c = static_cast<Byte>(a ^ K(j));
        j = (a + 1) & 15;
        w[i] = static_cast<Byte>(p ^ c);
        p = c;
    }

    m_Length = m;
    if (m > kHeaderLength) UnPack();
    if (Crc16(w, m) != (w[m] | (w[m + 1] << 8))) return false;
    return m_Type == 3 || m_Type == 4 || m_Type == 7 || m_Type == 8;
}

int CPackV7::ChanCloudCod(const unsigned char* packet, int length, unsigned char seed, unsigned char* out) {
    if (packet == nullptr || out == nullptr || length < kMinPacket || length > kMaxPacket) return 0;
    const int m = length;
    const int n = m + 3;
    const uint16_t crc = Crc16(packet, m);
    const Byte s = seed;

    // Forward pass backwards in meaning: from the plain bytes find the values the decoder's forward
    // pass must start from (v, kept in out for now).
    Byte p = s;
    int j = FirstKeyIndex(s);
    Byte b = 19;
    int q = 0;
    for (int i = 0; i < m + 2; ++i) {
        const Byte plain = i < m ? packet[i] : static_cast<Byte>(i == m ? crc & 0xFF : crc >> 8);
        const Byte c = static_cast<Byte>(p ^ plain);
        Byte a = static_cast<Byte>(c ^ K(j));
        j = (a + 1) & 15;
        if (i < m) {
            if (i == kSecondStageAt) SecondStage(packet, s, b, q);
            if (i >= kSecondStageAt) {
                const Byte d = static_cast<Byte>(a ^ b);
                a = static_cast<Byte>(d ^ K(q));
                q = (a + 3) & 15;
                b = d;
            }
        }
        out[i] = a;
        p = c;
    }

    // The trailing byte makes the seed come out as chosen.
    const Byte z = static_cast<Byte>(SeedHash(out, n - 1) ^ s ^ kSeedByteXor);

    // Undo the backward pass.
    p = static_cast<Byte>(z ^ kBackwardXor);
    for (int i = n - 2, k = 5; i >= 0; --i, k = (k + 1) & 15) {
        const Byte c = static_cast<Byte>(out[i] ^ p);
        out[i] = static_cast<Byte>(c ^ T(K(k)));
        p = c;
    }
    out[n - 1] = z;
    return n;
}

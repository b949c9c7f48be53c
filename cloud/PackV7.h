#pragma once
// V7 packets as RM7 devices and their cloud server exchange them over UDP: scrambled by the cloud
// channel and guarded by a CRC-16. The relay only checks datagrams and reads who sent them and who is
// to receive them; it never changes them.
#include <cstdint>

#include "util/DBString.h"

// A V7 identity: a 4-byte field holding the sub-address, then the node number (24 bits, low byte first).
class CIdentV7 {
public:
    CIdentV7() = default;
    virtual ~CIdentV7() = default;

    void Clear();
    // Both values 0, then read from the 4 bytes when field is not null.
    void SetValue(const unsigned char* field);
    int GetNode() const { return m_Node; }
    int GetSubAddress() const { return m_Sub; }
    // "node.sub", e.g. "1234.7".
    DBString GetString() const;

private:
    int m_Node = 0;
    int m_Sub = 0;
};

class CPackV7 {
public:
    static constexpr int kBufSize = 1024;
    // Packet, two CRC bytes and the trailing scrambling byte.
    static constexpr int kMinDatagram = 16;
    static constexpr int kMinPacket = kMinDatagram - 3;
    static constexpr int kMaxPacket = kBufSize - 3;

    // The key material shared with the devices and the cloud server (compiled in from the key file).
    static const unsigned char CloudKey[16];
    static const unsigned char Step3[256];
    // Built with the repository's random test material instead of the real one.
    static const bool TestMaterial;

    CPackV7();

    // Descrambles a copy of a datagram (its first 1024 bytes at most) and checks it. True when the
    // CRC matches and the packet type is one the cloud channel carries (3, 4, 7, 8); the identities
    // are valid only then.
    bool ChanCloudDecod(const unsigned char* data, int len);
    // Reads the header fields from the descrambled packet.
    void UnPack();

    // The inverse of ChanCloudDecod: scrambles a packet of kMinPacket..kMaxPacket bytes with the
    // given seed into out (room for length + 3 bytes). Returns the datagram length, or 0 when the
    // length is out of range. The packet type is not checked, so rejected types can be produced too.
    static int ChanCloudCod(const unsigned char* packet, int length, unsigned char seed, unsigned char* out);

    // CRC-16/XMODEM: polynomial 0x1021, initial value 0, no reflection, no final XOR.
    static uint16_t Crc16(const unsigned char* data, int len);

    const unsigned char* Data() const { return m_Buf; }
    int Length() const { return m_Length; }
    unsigned Type() const { return m_Type; }
    const CIdentV7& Src() const { return m_Src; }
    const CIdentV7& Dst() const { return m_Dst; }

private:
    void Reset();

    unsigned char m_Buf[kBufSize];
    int m_Length = 0;
    unsigned m_Type = 0;
    CIdentV7 m_Src;
    CIdentV7 m_Dst;
};

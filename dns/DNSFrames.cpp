#include "dns/DNSFrames.h"

DNSFrames::Next DNSFrames::Take(std::string& msg) {
    const size_t held = m_Buf.size() - m_Pos;
    if (held < kPrefix) return Next::kMore;
    const auto* p = reinterpret_cast<const unsigned char*>(m_Buf.data() + m_Pos);
    const size_t len = static_cast<size_t>(p[0]) << 8 | p[1];
    if (len == 0) return Next::kEmpty;
    if (len < kHeader) return Next::kShort;
    if (held < kPrefix + len) return Next::kMore;
    msg.assign(m_Buf, m_Pos + kPrefix, len);
    m_Pos += kPrefix + len;
    // Pipelined messages are taken one after the other from the same piece; the buffer is moved
    // down only when the taken part dominates it, so a burst costs no copy per message.
    if (m_Pos == m_Buf.size()) {
        m_Buf.clear();
        m_Pos = 0;
    } else if (m_Pos > m_Buf.size() / 2) {
        m_Buf.erase(0, m_Pos);
        m_Pos = 0;
    }
    return Next::kMessage;
}

void DNSFrames::Frame(std::string& out, const char* data, size_t len) {
    out += static_cast<char>(len >> 8 & 0xFF);
    out += static_cast<char>(len & 0xFF);
    out.append(data, len);
}

#pragma once
// DNS over a stream (RFC 1035 4.2.2, RFC 7766): every message is preceded by its length in two
// bytes, most significant first. A stream is taken in pieces as they arrive; this splits them into
// messages, and is the only code that reads the length prefix.
#include <cstddef>
#include <string>

class DNSFrames {
public:
    // Nothing shorter than a DNS header is a message: such a prefix means the peer speaks
    // something else, and what follows it cannot be trusted to be framed.
    static constexpr size_t kHeader = 12;
    static constexpr size_t kPrefix = 2;

    enum class Next {
        kMessage,  // a whole message was taken
        kMore,     // the rest of a message (or of its prefix) has yet to arrive
        kEmpty,    // a length of 0: the stream is broken
        kShort,    // a length below kHeader: the stream is broken
    };

    // Appends n bytes received.
    void Feed(const char* data, size_t n) { m_Buf.append(data, n); }
    // The next whole message, without its prefix, into msg. After kEmpty or kShort nothing more
    // may be taken.
    Next Take(std::string& msg);
    // Bytes of a message not yet whole are held: an end of the stream now cuts a message short.
    bool Partial() const { return m_Pos < m_Buf.size(); }
    // len bytes of data with their prefix in front, appended to out; len at most 65535.
    static void Frame(std::string& out, const char* data, size_t len);

private:
    std::string m_Buf;
    size_t m_Pos = 0;  // where the next prefix starts in m_Buf
};

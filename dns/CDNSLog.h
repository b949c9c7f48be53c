#pragma once
#include <netinet/in.h>

#include "log/CBaseLog.h"
#include "util/DBTime.h"
#include "util/Net.h"

// The DNS datagram log (directory "dns" below the log root): one line per datagram the relay
// receives or sends, the whole datagram in hexadecimal.
class CDNSLog : public CBaseLog {
public:
    // Direction of a record; any other value is framed by blanks on both sides.
    enum typRec : int { typRecv = 1, typSend = 2 };

    using CBaseLog::CBaseLog;
    using CBaseLog::Put;
    ~CDNSLog() override = default;
    DBString Dir() override;

    // Queues "NNNNN AAA.AAA.AAA.AAA:PPPPP " + framed time + "XX " per byte; nothing for len < 1.
    // addr is the peer: the client for what comes from or goes to it, the server otherwise.
    // Returns 1.
    int Put(typRec typ, const unsigned char* data, int len, int id, sockaddr_in addr);
    // The same for a peer of either family. An IPv6 peer is written in a form as fixed as the
    // IPv4 one, so that its records line up among themselves:
    // "NNNNN [HHHH:HHHH:HHHH:HHHH:HHHH:HHHH:HHHH:HHHH]:PPPPP ", every group in four hex digits.
    int Put(typRec typ, const unsigned char* data, int len, int id, const SockAddr& addr);
    // Called by a relay before the records of one datagram, outside any lock: a flood of queries
    // fills the queue faster than a writer scheduled late drains it, and a record pushed out is a
    // question or answer the operator never sees, so the relay waits for the writer a little.
    void PaceRecords() { Pace(kRelayPaceLimit); }

private:
    static constexpr size_t kTimeLength = 19;  // "dd.mm.yyyy hh:mm.ss"
    // The whole line, built in one string that goes to the queue as it is.
    static std::string Record(typRec typ, const unsigned char* data, int len, int id, const SockAddr& addr,
                              DBTime time);
};

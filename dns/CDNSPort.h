#pragma once
// The DNS relay on UDP port 53: the datagram relay (udp/DatagramPort.h) towards one configured
// server, with what is DNS's own: queries for names of the configuration's DNS nodes are answered
// here, and every datagram in either direction is written to the DNS log.
#include <netinet/in.h>

#include "udp/DatagramPort.h"

class CDNSPort : public DatagramPort {
public:
    CDNSPort();
    ~CDNSPort();

    // server: host name or dotted address, resolved for every new association.
    void Start(const char* server, int port, int srvPort);
    // Answers a query from the configuration's DNS nodes in place, within size bytes. Returns the
    // answer's length, or 0 when the query is not one of them (or the answer would not fit): one
    // question, of a node's name in any ASCII letter case, type A, class IN, RD set, nothing after it
    // but an OPT record. The answer echoes the question as asked and carries no OPT record.
    static int LocalAnswer(unsigned char* buf, int len, int size);

    // "DNS00053 00001 ": the relay's own form, without the blank of the rules'.
    DBString CliPrefix(int id) const override;
    // Both records of an answer: as received from the server and as sent to the client.
    void Replying(const Association& cli, const char* buf, int len, const SockAddr& from) override;
    void RecvFromCli(char* buf, int len, int size, const SockAddr& from, const LocalAddr& at) override;

private:
    // Logs a query of a client (id 0: one without an association) and answers it here or, through
    // cli, forwards it; a local answer goes from at. False when it was neither answered nor forwarded.
    bool Answer(char* buf, int len, int size, int id, const SockAddr& client, const LocalAddr& at, Association* cli);
};

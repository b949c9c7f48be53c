#pragma once
// The configuration tree: one root (CProxyCFG) holding the DNSSrv setting and the rule nodes in
// document order. Nodes are told apart by TypNode(): 10 root, 20 Port rule, 30 DNS record, 40 CloudRM7.
// After loading nothing changes the tree, so the relay threads read it without a lock:
//
//     for (const auto& node : _Modul.m_Cfg.m_Nodes)
//         if (node->TypNode() == CProxyDNS::kTypNode) {
//             const auto& dns = static_cast<const CProxyDNS&>(*node);
//             ...
//         }
#include <libxml/tree.h>

#include <memory>
#include <vector>

#include "util/AllowList.h"
#include "util/DBString.h"

class CNodeProxyCFG {
public:
    CNodeProxyCFG() = default;
    CNodeProxyCFG(const CNodeProxyCFG&) = delete;
    CNodeProxyCFG& operator=(const CNodeProxyCFG&) = delete;

    virtual ~CNodeProxyCFG() = default;
    virtual int TypNode() const = 0;

    xmlNode* m_XMLNode = nullptr;  // the node's element in the root's document, not owned
};

// The root: the rule nodes in document order.
class CProxyCFG : public CNodeProxyCFG {
public:
    static constexpr int kTypNode = 10;
    static constexpr const char* kElement = "VEXAProxy";

    int TypNode() const override { return kTypNode; }

    // Loads the file; one that is missing, unreadable, malformed or has another root element
    // leaves an empty configuration. Raises ErrorXML only when not even the built-in empty
    // document can be parsed.
    void XMLLoadFile(const char* path);

    DBString m_DNSSrv;        // DNS server of the DNS relay; empty: no relay
    int m_DNSMaxClients = 0;  // bound of the DNS relay's client table; 0: a fair share of the budget
    std::vector<std::unique_ptr<CNodeProxyCFG>> m_Nodes;
    DBString m_DNSIPLocal;    // IPv4 address the DNS relay listens on; empty: every address
    DBString m_DNSIPv6Local;  // IPv6 address it listens on besides ("::": every one); empty: none
    AllowList m_DNSAllow;     // whom the DNS relay serves; not given: everyone

    struct FreeDoc {
        void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
    };
    std::unique_ptr<xmlDoc, FreeDoc> m_XMLDOM;  // the nodes' elements point into it

private:
    void XMLLoad(xmlNode* element);
};

// One forwarding rule (element "Port").
class CProxyPort : public CNodeProxyCFG {
public:
    static constexpr int kTypNode = 20;
    static constexpr const char* kElement = "Port";
    // m_TypProt codes, in the order their texts are tried.
    enum typProt { UDP = 0, TCP = 1, UDPv6 = 2, TCPv6 = 3 };
    // The sweep's limits in seconds when the rule sets none: a TCP connection goes after 30 s
    // without data moving and 60 s after acceptance however busy, a UDP association after 180 s
    // without an answer from its target.
    static constexpr int kTCPIdleLimit = 30;
    static constexpr int kTCPOpenLimit = 60;
    static constexpr int kUDPIdleLimit = 180;

    int TypNode() const override { return kTypNode; }
    void XMLLoad(xmlNode* element);

    // An echo rule answers with what it receives instead of forwarding.
    bool IsEcho() const { return m_Echo >= 0; }
    // The target text of the rule: IPRemote when set (kind 1, IPv4 text or host name), otherwise
    // IPv6Remote, possibly empty (kind 2, IPv6 text).
    const DBString& RemoteHost() const { return m_IPRemote.empty() ? m_IPv6Remote : m_IPRemote; }
    int RemoteKind() const { return m_IPRemote.empty() ? 2 : 1; }
    bool IsTCP() const { return m_TypProt == TCP || m_TypProt == TCPv6; }
    bool IsV6() const { return m_TypProt == UDPv6 || m_TypProt == TCPv6; }
    // The address text the rule listens on: IPv6Local for UDPv6 and TCPv6 rules, IPLocal for the
    // others; empty: every address.
    const DBString& LocalHost() const { return IsV6() ? m_IPv6Local : m_IPLocal; }

    int m_TypProt = UDP;
    int m_PortLocal = 0;
    int m_PortRemote = 0;
    DBString m_IPRemote;
    DBString m_IPv6Remote;
    DBString m_HTTPHost;   // empty: no HTTP Host check
    int m_Echo = -1;       // -1: forwarding rule
    int m_MaxClients = 0;  // bound of the rule's client table; 0: a fair share of the budget
    DBString m_IPLocal;    // see LocalHost
    DBString m_IPv6Local;
    AllowList m_Allow;     // whom the rule serves; not given: everyone
    int m_IdleLimit = kUDPIdleLimit;  // seconds; TCP rules default to kTCPIdleLimit
    int m_OpenLimit = kTCPOpenLimit;  // seconds, TCP rules only; 0: no limit
};

// A name the DNS relay answers itself (element "DNS"). The images are DNS messages without their
// first 4 bytes (identifier and flags): byte n of an image is byte n+4 of the message.
class CProxyDNS : public CNodeProxyCFG {
public:
    static constexpr int kTypNode = 30;
    static constexpr const char* kElement = "DNS";
    static constexpr unsigned long kImageSize = 128;

    int TypNode() const override { return kTypNode; }
    void XMLLoad(xmlNode* element);

    // Writes the question (A, IN) for m_DNSName into buf and returns its length; 0 and nothing
    // written when size is too small.
    unsigned long Question(unsigned char* buf, unsigned long size) const;
    // The same with one answer record carrying m_IP.
    unsigned long Answer(unsigned char* buf, unsigned long size) const;

    DBString m_DNSName;
    int m_IP = 0;  // network byte order: the bytes in memory order are the dotted numbers
    DBString m_Note;
    unsigned long m_LenQuestion = 0;  // 0: no image (the name does not fit)
    unsigned char m_Question[kImageSize] = {};
    unsigned long m_LenAnswer = 0;
    unsigned char m_Answer[kImageSize] = {};

private:
    unsigned long Image(unsigned char* buf, unsigned long size, bool answer) const;
};

// The cloud relay for RM7 devices (element "CloudRM7").
class CProxyCloudRM7 : public CNodeProxyCFG {
public:
    static constexpr int kTypNode = 40;
    static constexpr const char* kElement = "CloudRM7";
    // A name under the reserved .invalid domain: it never resolves, so a configuration that names
    // no cloud server cannot send device data anywhere by accident.
    static constexpr const wchar_t* kDefaultCloud = L"cloud.vexa.invalid";

    int TypNode() const override { return kTypNode; }
    void XMLLoad(xmlNode* element);

    int m_PortRM7 = 4999;        // device side
    int m_PortCloud = 0;         // cloud side, local; 0: relay not started
    int m_PortVEXACloud = 4999;  // port of the cloud server
    DBString m_VEXACloud = kDefaultCloud;
    int m_MaxClients = 0;        // bound of the device table; 0: a fair share of the budget
    DBString m_IPLocal;          // address the device side listens on (IPv6, or IPv4 as its mapped
                                 // form); empty: every address
    AllowList m_Allow;           // the devices served; not given: every one
};

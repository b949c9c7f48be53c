#include "config/CProxyCFG.h"

#include <libxml/parser.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "config/CNodeB.h"
#include "config/ErrorXML.h"
#include "util/ParseString.h"

using VEXACloud::CNodeB;

namespace {

// XML_PARSE_NONET: the configuration must never make the daemon fetch an external entity or DTD.
constexpr int kParseOptions = XML_PARSE_OLD10 | XML_PARSE_NONET;

// Parsed instead of a file that cannot be read or parsed: it has no "VEXAProxy" element, so the
// configuration stays empty.
constexpr const char* kEmptyDocument = "<?xml version=\"1.0\"?><VEXADOMAIN> </VEXADOMAIN>";
// Raised when not even that document parses.
constexpr const wchar_t* kErrorLoadXML = L"Ошибка loadXML";

bool IsElement(const xmlNode* node, const char* name) {
    return node->type == XML_ELEMENT_NODE && xmlStrcmp(node->name, BAD_CAST name) == 0;
}

// A client bound: a value that is not a positive number leaves the table its fair share.
int LoadBound(xmlNode* element, const char* attr) {
    return std::max(0, CNodeB::XMLLoadInteger(element, attr, 0));
}

// An absent Allow leaves the list unset: everyone is served.
AllowList LoadAllow(xmlNode* element, const char* attr) {
    struct Free {
        void operator()(xmlChar* p) const { xmlFree(p); }
    };
    std::unique_ptr<xmlChar, Free> value(xmlGetProp(element, BAD_CAST attr));
    if (!value) return AllowList();
    return AllowList::Parse(reinterpret_cast<const char*>(value.get()));
}

// A limit in seconds, read like the other numbers. One that is absent, has no digits, is negative
// or beyond an int, or is 0 where 0 means nothing, keeps the default: a mistyped limit must neither
// cut every client at once nor keep them all for ever.
int LoadSeconds(xmlNode* element, const char* attr, int def, bool zeroMeansNone) {
    const std::string text = CNodeB::XMLLoadString(element, attr, true).ToStr();
    const char* p = text.c_str();
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(p, &end, 10);
    if (end == p || errno == ERANGE || value < 0 || value > INT_MAX || (value == 0 && !zeroMeansNone)) return def;
    return static_cast<int>(value);
}

template <class Node>
void LoadChild(CProxyCFG& root, xmlNode* element) {
    auto node = std::make_unique<Node>();
    node->XMLLoad(element);
    root.m_Nodes.push_back(std::move(node));
}

}  // namespace

// ---- root ------------------------------------------------------------------------------------

void CProxyCFG::XMLLoadFile(const char* path) {
    xmlDoc* doc = path ? xmlReadFile(path, nullptr, kParseOptions) : nullptr;
    if (!doc) doc = xmlReadDoc(BAD_CAST kEmptyDocument, nullptr, nullptr, kParseOptions);
    if (!doc) throw ErrorXML(kErrorLoadXML, 0);

    // A second load replaces the first: the old nodes point into the old document.
    m_Nodes.clear();
    m_XMLNode = nullptr;
    m_XMLDOM.reset(doc);
    m_DNSSrv.clear();
    m_DNSMaxClients = 0;

    for (xmlNode* top = doc->children; top; top = top->next) {
        if (IsElement(top, kElement)) {
            XMLLoad(top);
            return;
        }
    }
}

void CProxyCFG::XMLLoad(xmlNode* element) {
    m_XMLNode = element;
    m_DNSSrv = CNodeB::XMLLoadString(element, "DNSSrv", true);
    m_DNSMaxClients = LoadBound(element, "DNSMaxClients");
    m_DNSIPLocal = CNodeB::XMLLoadString(element, "DNSIPLocal", true);
    m_DNSIPv6Local = CNodeB::XMLLoadString(element, "DNSIPv6Local", true);
    m_DNSAllow = LoadAllow(element, "DNSAllow");
    for (xmlNode* child = element->children; child; child = child->next) {
        if (IsElement(child, CProxyPort::kElement)) LoadChild<CProxyPort>(*this, child);
        else if (IsElement(child, CProxyCloudRM7::kElement)) LoadChild<CProxyCloudRM7>(*this, child);
        else if (IsElement(child, CProxyDNS::kElement)) LoadChild<CProxyDNS>(*this, child);
    }
}

// ---- Port ------------------------------------------------------------------------------------

namespace {
// Indexed by the typProt codes.
constexpr const char* kTypProtText[] = {"UDP", "TCP", "UDPv6", "TCPv6"};
}  // namespace

void CProxyPort::XMLLoad(xmlNode* element) {
    m_XMLNode = element;
    DBString typ = CNodeB::XMLLoadString(element, "TypProt", true);
    std::string typText = typ.ToStr();
    for (int code = UDP; code <= TCPv6; ++code)
        if (typText == kTypProtText[code]) {
            m_TypProt = code;
            break;
        }
    m_PortLocal = CNodeB::XMLLoadInteger(element, "PortLocal", 0);
    m_PortRemote = CNodeB::XMLLoadInteger(element, "PortRemote", 0);
    m_IPRemote = CNodeB::XMLLoadString(element, "IPRemote", true);
    m_IPv6Remote = CNodeB::XMLLoadString(element, "IPv6Remote", true);
    m_HTTPHost = CNodeB::XMLLoadString(element, "HTTPHost", true);
    m_Echo = CNodeB::XMLLoadInteger(element, "Echo", -1);
    m_MaxClients = LoadBound(element, "MaxClients");
    m_IPLocal = CNodeB::XMLLoadString(element, "IPLocal", true);
    m_IPv6Local = CNodeB::XMLLoadString(element, "IPv6Local", true);
    m_Allow = LoadAllow(element, "Allow");
    m_IdleLimit = LoadSeconds(element, "IdleLimit", IsTCP() ? kTCPIdleLimit : kUDPIdleLimit, false);
    m_OpenLimit = LoadSeconds(element, "OpenLimit", kTCPOpenLimit, true);
}

// ---- DNS -------------------------------------------------------------------------------------

void CProxyDNS::XMLLoad(xmlNode* element) {
    m_XMLNode = element;
    m_DNSName = CNodeB::XMLLoadString(element, "Name", true);
    m_IP = CNodeB::XMLLoadIP(element, "IP", 0);
    m_Note = CNodeB::XMLLoadString(element, "Note", true);
    m_LenQuestion = Question(m_Question, kImageSize);
    m_LenAnswer = Answer(m_Answer, kImageSize);
}

unsigned long CProxyDNS::Question(unsigned char* buf, unsigned long size) const { return Image(buf, size, false); }

unsigned long CProxyDNS::Answer(unsigned char* buf, unsigned long size) const { return Image(buf, size, true); }

unsigned long CProxyDNS::Image(unsigned char* buf, unsigned long size, bool answer) const {
    // Every piece between dots is a label, an empty one too; an empty name is the root alone.
    std::vector<std::string> labels;
    ParseString(m_DNSName.ToStr(), ".", labels);

    unsigned long needed = answer ? 29 : 13;
    for (const auto& label : labels) needed += label.size() + 1;
    // The length byte of a label cannot say more than 255: such a name fits no image anyway.
    if (needed > size || !buf) return 0;

    unsigned char* p = buf;
    const unsigned char counts[8] = {0x00, 0x01, 0x00, static_cast<unsigned char>(answer ? 1 : 0), 0, 0, 0, 0};
    p = std::copy(std::begin(counts), std::end(counts), p);
    for (const auto& label : labels) {
        *p++ = static_cast<unsigned char>(label.size());
        p = std::copy(label.begin(), label.end(), p);
    }
    const unsigned char question_end[5] = {0x00, 0x00, 0x01, 0x00, 0x01};  // end of name, type A, class IN
    p = std::copy(std::begin(question_end), std::end(question_end), p);
    if (answer) {
        // Name pointer to offset 12, type A, class IN, TTL 11227 s, data length 4, the address.
        const unsigned char record[12] = {0xC0, 0x0C, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x2B, 0xDB, 0x00, 0x04};
        p = std::copy(std::begin(record), std::end(record), p);
        std::memcpy(p, &m_IP, 4);
        p += 4;
    }
    return static_cast<unsigned long>(p - buf);
}

// ---- CloudRM7 --------------------------------------------------------------------------------

void CProxyCloudRM7::XMLLoad(xmlNode* element) {
    m_XMLNode = element;
    m_PortRM7 = CNodeB::XMLLoadInteger(element, "PortRM7", 4999);
    m_PortCloud = CNodeB::XMLLoadInteger(element, "PortCloud", 0);
    m_PortVEXACloud = CNodeB::XMLLoadInteger(element, "PortVEXACloud", 4999);
    m_VEXACloud = CNodeB::XMLLoadString(element, "VEXACloud", true);
    if (m_VEXACloud.empty()) m_VEXACloud = kDefaultCloud;
    m_MaxClients = LoadBound(element, "MaxClients");
    m_IPLocal = CNodeB::XMLLoadString(element, "IPLocal", true);
    m_Allow = LoadAllow(element, "Allow");
}

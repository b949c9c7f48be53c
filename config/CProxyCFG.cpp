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

bool IsElement(const xmlNode* node, const char* name) {
    return node->type == XML_ELEMENT_NODE && xmlStrcmp(node->name, BAD_CAST name) == 0;
}

// Creates the element of a rule node under its parent's element.
xmlNode* NewChildElement(CNodeProxyCFG& node, const char* name) {
    xmlNode* parent = node.m_Parent ? node.m_Parent->m_XMLNode : nullptr;
    xmlNode* element = parent ? xmlNewChild(parent, nullptr, BAD_CAST name, nullptr) : nullptr;
    if (!element) throw ErrorXML(41076, name);
    return element;
}

// A client bound: a value that is not a positive number leaves the table its fair share.
int LoadBound(xmlNode* element, const char* name, const char* attr) {
    return std::max(0, CNodeB::XMLLoadInteger(element, name, attr, 0));
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
int LoadSeconds(xmlNode* element, const char* name, const char* attr, int def, bool zeroMeansNone) {
    const std::string text = CNodeB::XMLLoadString(element, name, attr, true).ToStr();
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
    node->m_Parent = &root;
    node->XMLLoad(element);
    root.m_Nodes.push_back(std::move(node));
}

}  // namespace

// ---- reports ---------------------------------------------------------------------------------

CNodeProxyCFG* CNodeProxyCFG::Root() {
    CNodeProxyCFG* node = this;
    while (node->m_Parent) node = node->m_Parent;
    return node;
}

void CNodeProxyCFG::BadPut(const wchar_t* text) {
    if (CNodeProxyCFG* root = Root(); root != this) root->BadPut(text);
}

void CNodeProxyCFG::BadPutErr(const wchar_t* text, int code) {
    if (CNodeProxyCFG* root = Root(); root != this) root->BadPutErr(text, code);
}

void CProxyCFG::BadPut(const wchar_t*) {}
void CProxyCFG::BadPutErr(const wchar_t*, int) {}

// ---- root ------------------------------------------------------------------------------------

CProxyCFG::~CProxyCFG() = default;

void CProxyCFG::Clear() {
    CNodeProxyCFG::Clear();
    m_DNSSrv.clear();
    m_DNSMaxClients = 0;
    m_DNSIPLocal.clear();
    m_DNSAllow = AllowList();
}

void CProxyCFG::XMLLoadFile(const char* path) {
    xmlDoc* doc = path ? xmlReadFile(path, nullptr, kParseOptions) : nullptr;
    if (!doc) doc = xmlReadDoc(BAD_CAST kEmptyDocument, nullptr, nullptr, kParseOptions);
    if (!doc) throw ErrorXML(41083);

    // A second load replaces the first: the old nodes point into the old document.
    m_Nodes.Clear();
    m_XMLNode = nullptr;
    m_XMLDOM.reset(doc);
    Clear();

    for (xmlNode* top = doc->children; top; top = top->next) {
        if (IsElement(top, kElement)) {
            XMLLoad(top);
            return;
        }
    }
}

void CProxyCFG::XMLLoad(xmlNode* element) {
    m_XMLNode = element;
    m_DNSSrv = CNodeB::XMLLoadString(element, kElement, "DNSSrv", true);
    m_DNSMaxClients = LoadBound(element, kElement, "DNSMaxClients");
    m_DNSIPLocal = CNodeB::XMLLoadString(element, kElement, "DNSIPLocal", true);
    m_DNSAllow = LoadAllow(element, "DNSAllow");
    for (xmlNode* child = element->children; child; child = child->next) {
        if (IsElement(child, CProxyPort::kElement)) LoadChild<CProxyPort>(*this, child);
        else if (IsElement(child, CProxyCloudRM7::kElement)) LoadChild<CProxyCloudRM7>(*this, child);
        else if (IsElement(child, CProxyDNS::kElement)) LoadChild<CProxyDNS>(*this, child);
    }
}

void CProxyCFG::XMLCreate() {
    xmlDoc* doc = xmlNewDoc(BAD_CAST "1.0");
    if (!doc) throw ErrorXML(41080);
    // No node may keep pointing into the document that is about to go, even if building fails.
    m_XMLNode = nullptr;
    for (auto& node : m_Nodes)
        if (node) node->m_XMLNode = nullptr;
    m_XMLDOM.reset(doc);
    XMLAdd();
    for (auto& node : m_Nodes)
        if (node) node->XMLCreate();
}

void CProxyCFG::XMLAdd() {
    if (!m_XMLDOM) throw ErrorXML("!m_XMLDOM", nullptr);
    xmlNode* element = xmlNewDocNode(m_XMLDOM.get(), nullptr, BAD_CAST kElement, nullptr);
    if (!element) throw ErrorXML(41076, kElement);
    // Made the document's root at once, so that the document owns (and frees) it.
    if (xmlNode* old = xmlDocSetRootElement(m_XMLDOM.get(), element)) xmlFreeNode(old);
    m_XMLNode = element;
    XMLUpdate();
}

void CProxyCFG::XMLUpdate() {
    CNodeB::XMLUpdateString(m_XMLNode, m_DNSSrv, kElement, "DNSSrv");
    CNodeB::XMLUpdateInteger(m_XMLNode, m_DNSMaxClients, kElement, "DNSMaxClients", false);
}

// ---- Port ------------------------------------------------------------------------------------

namespace {
// Indexed by the typProt codes.
constexpr const char* kTypProtText[] = {"UDP", "TCP", "UDPv6", "TCPv6"};
}  // namespace

void CProxyPort::XMLLoad(xmlNode* element) {
    m_XMLNode = element;
    DBString typ = CNodeB::XMLLoadString(element, kElement, "TypProt", true);
    std::string typText = typ.ToStr();
    for (int code = UDP; code <= TCPv6; ++code)
        if (typText == kTypProtText[code]) {
            m_TypProt = code;
            break;
        }
    m_PortLocal = CNodeB::XMLLoadInteger(element, kElement, "PortLocal", 0);
    m_PortRemote = CNodeB::XMLLoadInteger(element, kElement, "PortRemote", 0);
    m_IPRemote = CNodeB::XMLLoadString(element, kElement, "IPRemote", true);
    m_IPv6Remote = CNodeB::XMLLoadString(element, kElement, "IPv6Remote", true);
    m_Note = CNodeB::XMLLoadString(element, kElement, "Note", true);
    m_HTTPHost = CNodeB::XMLLoadString(element, kElement, "HTTPHost", true);
    m_Echo = CNodeB::XMLLoadInteger(element, kElement, "Echo", -1);
    m_MaxClients = LoadBound(element, kElement, "MaxClients");
    m_IPLocal = CNodeB::XMLLoadString(element, kElement, "IPLocal", true);
    m_IPv6Local = CNodeB::XMLLoadString(element, kElement, "IPv6Local", true);
    m_Allow = LoadAllow(element, "Allow");
    m_IdleLimit = LoadSeconds(element, kElement, "IdleLimit", IsTCP() ? kTCPIdleLimit : kUDPIdleLimit, false);
    m_OpenLimit = LoadSeconds(element, kElement, "OpenLimit", kTCPOpenLimit, true);
}

void CProxyPort::XMLCreate() {
    m_XMLNode = NewChildElement(*this, kElement);
    XMLUpdate();
}

void CProxyPort::XMLUpdate() {
    const char* typ = (m_TypProt >= UDP && m_TypProt <= TCPv6) ? kTypProtText[m_TypProt] : kTypProtText[UDP];
    CNodeB::XMLUpdateString(m_XMLNode, DBString(typ), kElement, "TypProt");
    CNodeB::XMLUpdateInteger(m_XMLNode, m_PortLocal, kElement, "PortLocal", false);
    CNodeB::XMLUpdateInteger(m_XMLNode, m_PortRemote, kElement, "PortRemote", false);
    CNodeB::XMLUpdateString(m_XMLNode, m_IPRemote, kElement, "IPRemote");
    CNodeB::XMLUpdateString(m_XMLNode, m_IPv6Remote, kElement, "IPv6Remote");
    CNodeB::XMLUpdateString(m_XMLNode, m_Note, kElement, "Note");
    CNodeB::XMLUpdateString(m_XMLNode, m_HTTPHost, kElement, "HTTPHost");
    CNodeB::XMLUpdateInteger(m_XMLNode, m_Echo, kElement, "Echo", true);
    CNodeB::XMLUpdateInteger(m_XMLNode, m_MaxClients, kElement, "MaxClients", false);
}

// ---- DNS -------------------------------------------------------------------------------------

void CProxyDNS::XMLLoad(xmlNode* element) {
    m_XMLNode = element;
    m_DNSName = CNodeB::XMLLoadString(element, kElement, "Name", true);
    m_IP = CNodeB::XMLLoadIP(element, kElement, "IP", 0);
    m_Note = CNodeB::XMLLoadString(element, kElement, "Note", true);
    m_LenQuestion = Question(m_Question, kImageSize);
    m_LenAnswer = Answer(m_Answer, kImageSize);
}

void CProxyDNS::XMLCreate() {
    m_XMLNode = NewChildElement(*this, kElement);
    XMLUpdate();
}

void CProxyDNS::XMLUpdate() {
    CNodeB::XMLUpdateString(m_XMLNode, m_DNSName, kElement, "Name");
    CNodeB::XMLUpdateIP(m_XMLNode, m_IP, kElement, "IP", false);
    CNodeB::XMLUpdateString(m_XMLNode, m_Note, kElement, "Note");
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
    m_PortRM7 = CNodeB::XMLLoadInteger(element, kElement, "PortRM7", 4999);
    m_PortCloud = CNodeB::XMLLoadInteger(element, kElement, "PortCloud", 0);
    m_PortVEXACloud = CNodeB::XMLLoadInteger(element, kElement, "PortVEXACloud", 4999);
    m_VEXACloud = CNodeB::XMLLoadString(element, kElement, "VEXACloud", true);
    if (m_VEXACloud.empty()) m_VEXACloud = kDefaultCloud;
    m_MaxClients = LoadBound(element, kElement, "MaxClients");
    m_IPLocal = CNodeB::XMLLoadString(element, kElement, "IPLocal", true);
    m_Allow = LoadAllow(element, "Allow");
}

void CProxyCloudRM7::XMLCreate() {
    m_XMLNode = NewChildElement(*this, kElement);
    XMLUpdate();
}

void CProxyCloudRM7::XMLUpdate() {
    CNodeB::XMLUpdateInteger(m_XMLNode, m_PortRM7, kElement, "PortRM7", false);
    CNodeB::XMLUpdateInteger(m_XMLNode, m_PortCloud, kElement, "PortCloud", false);
    CNodeB::XMLUpdateInteger(m_XMLNode, m_PortVEXACloud, kElement, "PortVEXACloud", false);
    CNodeB::XMLUpdateString(m_XMLNode, m_VEXACloud, kElement, "VEXACloud");
    CNodeB::XMLUpdateInteger(m_XMLNode, m_MaxClients, kElement, "MaxClients", false);
}

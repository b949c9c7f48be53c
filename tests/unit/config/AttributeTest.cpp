// Attribute reading/writing and the error texts.
#include <gtest/gtest.h>
#include <libxml/tree.h>

#include <cstring>
#include <memory>
#include <string>

#include "config/CNodeB.h"
#include "config/ErrorXML.h"

using VEXACloud::CNodeB;

namespace {

struct Doc {
    Doc() : doc(xmlNewDoc(BAD_CAST "1.0")), node(xmlNewDocNode(doc, nullptr, BAD_CAST "Port", nullptr)) {
        xmlDocSetRootElement(doc, node);
    }
    ~Doc() { xmlFreeDoc(doc); }
    void Set(const char* attr, const char* value) { xmlSetProp(node, BAD_CAST attr, BAD_CAST value); }
    // The attribute's value, or "<absent>".
    std::string Get(const char* attr) {
        xmlChar* v = xmlGetProp(node, BAD_CAST attr);
        std::string s = v ? reinterpret_cast<char*>(v) : "<absent>";
        xmlFree(v);
        return s;
    }
    int Integer(const char* value, int def = 99) {
        Set("A", value);
        return CNodeB::XMLLoadInteger(node, "Port", "A", def);
    }
    std::string IP(const char* value) {
        Set("A", value);
        int addr = CNodeB::XMLLoadIP(node, "Port", "A", 0x7F7F7F7F);
        unsigned char b[4];
        std::memcpy(b, &addr, 4);
        return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." + std::to_string(b[3]);
    }
    xmlDoc* doc;
    xmlNode* node;
};

}  // namespace

TEST(CNodeB, LoadString) {
    Doc d;
    EXPECT_EQ(CNodeB::XMLLoadString(d.node, "Port", "Note", true), L"");
    d.Set("Note", "  two words  ");
    EXPECT_EQ(CNodeB::XMLLoadString(d.node, "Port", "Note", true), L"two words");
    EXPECT_EQ(CNodeB::XMLLoadString(d.node, "Port", "Note", false), L"  two words  ");
    d.Set("Note", "   ");
    EXPECT_EQ(CNodeB::XMLLoadString(d.node, "Port", "Note", true), L"");
    d.Set("Note", "\tx\n");  // only blanks are trimmed
    EXPECT_EQ(CNodeB::XMLLoadString(d.node, "Port", "Note", true), L"\tx\n");
    d.Set("Note", " Лифт ");
    EXPECT_EQ(CNodeB::XMLLoadString(d.node, "Port", "Note", true), L"Лифт");
}

TEST(CNodeB, LoadInteger) {
    Doc d;
    EXPECT_EQ(CNodeB::XMLLoadInteger(d.node, "Port", "A", 99), 99);  // absent
    EXPECT_EQ(d.Integer(""), 0);                                       // present: never the default
    EXPECT_EQ(d.Integer("abc"), 0);
    EXPECT_EQ(d.Integer("-7"), -7);
    EXPECT_EQ(d.Integer("  +42"), 42);
    EXPECT_EQ(d.Integer("8080abc"), 8080);
    EXPECT_EQ(d.Integer("0x10"), 0);
    EXPECT_EQ(d.Integer("12.9"), 12);
    EXPECT_EQ(d.Integer("4294967297"), 1);  // low 32 bits
}

TEST(CNodeB, LoadIP) {
    Doc d;
    EXPECT_EQ(CNodeB::XMLLoadIP(d.node, "Port", "A", 5), 5);
    EXPECT_EQ(d.IP("192.168.1.1"), "192.168.1.1");
    EXPECT_EQ(d.IP("1.2.3.4.5"), "1.2.3.4");
    EXPECT_EQ(d.IP("256.1.1.1"), "0.1.1.1");
    EXPECT_EQ(d.IP("10.0.0.300"), "10.0.0.44");
    EXPECT_EQ(d.IP("-1.0.0.1"), "255.0.0.1");
    EXPECT_EQ(d.IP("99999999999999999999.0.0.1"), "255.0.0.1");  // saturates, no undefined behaviour
    for (const char* bad : {"", "10.0.0", "10..0.1", "a.b.c.d", "10.0.0.x"}) EXPECT_EQ(d.IP(bad), "127.127.127.127") << bad;
}

TEST(CNodeB, Update) {
    Doc d;
    CNodeB::XMLUpdateString(d.node, DBString(L"Лифт"), "Port", "Note");
    EXPECT_EQ(d.Get("Note"), "Лифт");
    CNodeB::XMLUpdateString(d.node, DBString(), "Port", "Note");
    EXPECT_EQ(d.Get("Note"), "<absent>");
    CNodeB::XMLUpdateString(d.node, DBString(), "Port", "Note");  // removing an absent one is fine

    CNodeB::XMLUpdateInteger(d.node, -1, "Port", "Echo", true);
    EXPECT_EQ(d.Get("Echo"), "-1");
    CNodeB::XMLUpdateInteger(d.node, 0, "Port", "Echo", true);
    EXPECT_EQ(d.Get("Echo"), "0");
    CNodeB::XMLUpdateInteger(d.node, 0, "Port", "Echo", false);
    EXPECT_EQ(d.Get("Echo"), "<absent>");

    int addr;
    const unsigned char b[4] = {192, 168, 0, 50};
    std::memcpy(&addr, b, 4);
    CNodeB::XMLUpdateIP(d.node, addr, "DNS", "IP", false);
    EXPECT_EQ(d.Get("IP"), "192.168.0.50");
    CNodeB::XMLUpdateIP(d.node, 0, "DNS", "IP", true);
    EXPECT_EQ(d.Get("IP"), "0.0.0.0");
    CNodeB::XMLUpdateIP(d.node, 0, "DNS", "IP", false);
    EXPECT_EQ(d.Get("IP"), "<absent>");
}

TEST(CNodeB, RefusedUpdateRaisesWithElementAndAttribute) {
    try {
        CNodeB::XMLUpdateInteger(nullptr, 8080, "Port", "PortLocal", false);
        FAIL() << "no exception";
    } catch (const ErrorXML& e) {
        EXPECT_EQ(e.m_Text, L"Ошибка при добавлении parameters PortLocal elements Port");
        EXPECT_EQ(e.m_Code, 0);
    }
    EXPECT_NO_THROW(CNodeB::XMLUpdateString(nullptr, DBString(), "Port", "Note"));  // removal only
}

TEST(ErrorXML, Texts) {
    EXPECT_EQ(ErrorXML(40000).m_Text, L"RUS40000");
    EXPECT_EQ(ErrorXML(40000, "Port").m_Text, L"RUS40000 elements Port");
    EXPECT_EQ(ErrorXML(41083).m_Text, L"Ошибка loadXML");
    EXPECT_EQ(ErrorXML(41080, nullptr).m_Text, L"Ошибка при создании XML анализатора");
    EXPECT_EQ(ErrorXML("!m_XMLDOM", nullptr).m_Text, L"!m_XMLDOM elements ");
    ErrorXML e(L"CDNSCli::Start getaddrinfo()", -2);
    EXPECT_EQ(e.m_Text, L"CDNSCli::Start getaddrinfo()");
    EXPECT_EQ(e.m_Code, -2);
}

// Loading the configuration file (odd values read like the original loader, unusable files, no
// network), the DNS images and the error texts.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "common/Loopback.h"
#include "config/CNodeB.h"
#include "config/CProxyCFG.h"
#include "config/ErrorXML.h"

namespace {
using lb::Bytes;

class Config : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/vexacfgXXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        m_Dir = dir;
        m_Path = m_Dir + "/VEXAProxy.xml";
    }
    void TearDown() override {
        unlink(m_Path.c_str());
        rmdir(m_Dir.c_str());
    }
    void Load(const std::string& text) {
        std::ofstream(m_Path) << text;
        m_Cfg.XMLLoadFile(m_Path.c_str());
    }
    void LoadRoot(const std::string& children, const std::string& attrs = "") {
        Load("<?xml version=\"1.0\"?><VEXAProxy " + attrs + ">" + children + "</VEXAProxy>");
    }
    template <class Node>
    Node& At(size_t i) {
        EXPECT_EQ(m_Cfg.m_Nodes.at(i)->TypNode(), Node::kTypNode);
        return static_cast<Node&>(*m_Cfg.m_Nodes.at(i));
    }
    std::string m_Dir, m_Path;
    CProxyCFG m_Cfg;
};

std::string Dotted(int addr) {
    unsigned char b[4];
    std::memcpy(b, &addr, 4);
    return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." + std::to_string(b[3]);
}

Bytes Image(const unsigned char* data, unsigned long len) { return Bytes(data, data + len); }
}  // namespace

// Numbers like strtol base 10 kept to 32 bits; addresses from four numbers, low 8 bits each.
TEST_F(Config, NumbersAndAddresses) {
    const std::pair<const char*, int> numbers[] = {{"8080abc", 8080}, {"", 0},     {"abc", 0},   {"-7", -7},
                                                   {"  +42", 42},     {"0x10", 0}, {"12.9", 12}, {"4294967297", 1}};
    const std::pair<const char*, const char*> ips[] = {
        {"192.168.1.1", "192.168.1.1"}, {"1.2.3.4.5", "1.2.3.4"},  {"256.1.1.1", "0.1.1.1"},
        {"10.0.0.300", "10.0.0.44"},    {"-1.0.0.1", "255.0.0.1"}, {"99999999999999999999.0.0.1", "255.0.0.1"},
        {"10.0.0", "0.0.0.0"},          {"10..0.1", "0.0.0.0"},    {"a.b.c.d", "0.0.0.0"}};
    std::string text;
    for (const auto& n : numbers) text += "<Port PortLocal=\"" + std::string(n.first) + "\"/>";
    for (const auto& ip : ips) text += "<DNS Name=\"a\" IP=\"" + std::string(ip.first) + "\"/>";
    LoadRoot(text);
    ASSERT_EQ(m_Cfg.m_Nodes.size(), std::size(numbers) + std::size(ips));
    size_t i = 0;
    for (const auto& n : numbers) EXPECT_EQ(At<CProxyPort>(i++).m_PortLocal, n.second) << n.first;
    for (const auto& ip : ips) EXPECT_EQ(Dotted(At<CProxyDNS>(i++).m_IP), ip.second) << ip.first;
}

TEST_F(Config, OddValuesAndOnlyExactDirectChildren) {
    LoadRoot(R"(<Port TypProt=" TCP " PortLocal="8080" Echo=""/>
                <Port TypProt="tcp" Note="  a  b  "/><Port TypProt="TCP6"/>
                <Port TypProt="TCPv6" IPRemote="10.0.0.1" IPv6Remote="::1"/>
                <port PortLocal="1"/><Dns Name="x"/><!-- c --> text <Other><Port PortLocal="2"/></Other>
                <DNS Name=" a.b " IP="1.1.1.1"/><DNS Name="a.b" IP="2.2.2.2"><Port PortLocal="3"/></DNS>
                <CloudRM7 PortRM7="" VEXACloud="   "/>)",
             R"(DNSSrv="  ")");
    EXPECT_EQ(m_Cfg.m_DNSSrv, L"");
    ASSERT_EQ(m_Cfg.m_Nodes.size(), 7u);
    EXPECT_EQ(At<CProxyPort>(0).m_TypProt, CProxyPort::TCP);
    EXPECT_TRUE(At<CProxyPort>(0).IsEcho());                  // an empty Echo makes an echo rule
    EXPECT_EQ(At<CProxyPort>(1).m_TypProt, CProxyPort::UDP);  // unknown TypProt texts run as UDP
    EXPECT_EQ(At<CProxyPort>(1).m_Note, L"a  b");
    EXPECT_EQ(At<CProxyPort>(2).m_TypProt, CProxyPort::UDP);
    EXPECT_EQ(At<CProxyPort>(3).RemoteHost(), L"10.0.0.1");  // IPRemote wins
    EXPECT_EQ(At<CProxyDNS>(4).m_DNSName, L"a.b");
    EXPECT_EQ(Dotted(At<CProxyDNS>(5).m_IP), "2.2.2.2");  // the same name twice: both kept
    EXPECT_EQ(At<CProxyCloudRM7>(6).m_PortRM7, 0);
    EXPECT_EQ(At<CProxyCloudRM7>(6).m_VEXACloud, L"cloud.vexa.invalid");
}

// Client bounds read like the other integers, except that a negative one means "no bound" like 0;
// only a bound that is set goes back into a document built from the tree.
TEST_F(Config, ClientBoundsReadLenientlyAndWrittenOnlyWhenSet) {
    const std::pair<const char*, int> bounds[] = {{"500", 500}, {" 12x", 12}, {"-5", 0}, {"abc", 0}, {"", 0}, {nullptr, 0}};
    for (const auto& [text, read] : bounds) {
        const std::string port = text ? " MaxClients=\"" + std::string(text) + "\"" : "";
        const std::string root = text ? "DNSMaxClients=\"" + std::string(text) + "\"" : "";
        LoadRoot("<Port" + port + "/><CloudRM7" + port + "/>", root);
        const int fields[] = {m_Cfg.m_DNSMaxClients, At<CProxyPort>(0).m_MaxClients, At<CProxyCloudRM7>(1).m_MaxClients};
        m_Cfg.XMLCreate();
        const std::pair<xmlNode*, const char*> attrs[] = {{m_Cfg.m_XMLNode, "DNSMaxClients"},
                                                          {m_Cfg.m_Nodes[0]->m_XMLNode, "MaxClients"},
                                                          {m_Cfg.m_Nodes[1]->m_XMLNode, "MaxClients"}};
        for (size_t i = 0; i < std::size(attrs); ++i) {
            EXPECT_EQ(fields[i], read) << attrs[i].second << " " << (text ? text : "(absent)");
            xmlChar* written = xmlGetProp(attrs[i].first, BAD_CAST attrs[i].second);
            EXPECT_EQ(written ? std::string(reinterpret_cast<char*>(written)) : "", read ? std::to_string(read) : "");
            xmlFree(written);
        }
    }
}

TEST_F(Config, DnsImagesAndTheirLimits) {
    // label bytes plus length bytes: 99 fits both images, 100..115 only the question, 116 neither
    auto name = [](size_t total) { return "<DNS Name=\"" + std::string(48, 'a') + "." + std::string(total - 50, 'b') + "\"/>"; };
    LoadRoot("<DNS Name=\"a.b\" IP=\"1.2.3.4\"/><DNS Name=\"\"/>" + name(99) + name(100) + name(115) + name(116));
    auto& dns = At<CProxyDNS>(0);
    const Bytes question = {0, 1, 0, 0, 0, 0, 0, 0, 1, 0x61, 1, 0x62, 0, 0, 1, 0, 1};
    Bytes answer = question;
    answer[3] = 1;  // one answer record
    answer.insert(answer.end(), {0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0x2B, 0xDB, 0, 4, 1, 2, 3, 4});
    EXPECT_EQ(Image(dns.m_Question, dns.m_LenQuestion), question);
    EXPECT_EQ(Image(dns.m_Answer, dns.m_LenAnswer), answer);
    unsigned char small[33] = {};
    EXPECT_EQ(dns.Answer(small, 32), 0u);  // one byte short: nothing written
    EXPECT_EQ(Image(small, 33), Bytes(33, 0));
    auto& root = At<CProxyDNS>(1);  // the empty name is the root alone
    EXPECT_EQ(Image(root.m_Question, root.m_LenQuestion), Bytes({0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1}));
    const std::pair<unsigned long, unsigned long> lengths[] = {{112, 128}, {113, 0}, {128, 0}, {0, 0}};
    for (size_t i = 0; i < std::size(lengths); ++i) {
        EXPECT_EQ(At<CProxyDNS>(i + 2).m_LenQuestion, lengths[i].first) << i;
        EXPECT_EQ(At<CProxyDNS>(i + 2).m_LenAnswer, lengths[i].second) << i;
    }
}

TEST_F(Config, UnusableFilesGiveAnEmptyConfiguration) {
    for (const std::string text :
         {"<?xml version=\"1.0\"?><VEXAProxy DNSSrv=\"1.1.1.1\"><Port PortLocal=\"1\"></VEXAProxy>",
          "<VEXADOMAIN DNSSrv=\"1.1.1.1\"><Port PortLocal=\"1\"/></VEXADOMAIN>",
          "<VEXADOMAIN><VEXAProxy DNSSrv=\"1.1.1.1\"><Port PortLocal=\"1\"/></VEXAProxy></VEXADOMAIN>", "", "missing"}) {
        LoadRoot(R"(<Port PortLocal="9"/>)", R"(DNSSrv="9.9.9.9")");  // a previous load is replaced
        ASSERT_EQ(m_Cfg.m_Nodes.size(), 1u);
        if (text == "missing") EXPECT_NO_THROW(m_Cfg.XMLLoadFile((m_Dir + "/missing.xml").c_str()));
        else EXPECT_NO_THROW(Load(text));
        EXPECT_TRUE(m_Cfg.m_Nodes.empty()) << text;
        EXPECT_EQ(m_Cfg.m_DNSSrv, L"") << text;
    }
}

TEST_F(Config, NeverFetchesFromTheNetwork) {
    // A loopback "server" that would hand out a configuration if the loader ever connected.
    lb::Server server("127.0.0.1", [](int fd) { lb::SendAll(fd, "HTTP/1.0 200 OK\r\n\r\n<VEXAProxy DNSSrv=\"fetched\"/>"); });
    std::string url = "http://127.0.0.1:" + std::to_string(server.Port()) + "/VEXAProxy.xml";
    m_Cfg.XMLLoadFile(url.c_str());
    Load("<!DOCTYPE VEXAProxy SYSTEM \"" + url + "\"><VEXAProxy DNSSrv=\"local\"/>");
    EXPECT_EQ(server.Accepted(), 0);
    EXPECT_EQ(m_Cfg.m_DNSSrv, L"local");
}

TEST(ErrorXMLText, FromTheMessageTableWithElementAndAttribute) {
    EXPECT_EQ(ErrorXML(40000, "Port").m_Text, L"RUS40000 elements Port");
    EXPECT_EQ(ErrorXML(41080, nullptr).m_Text, L"Ошибка при создании XML анализатора");
    EXPECT_EQ(ErrorXML(L"CDNSCli::Start getaddrinfo()", -2).m_Code, -2);
    CProxyCFG empty;
    empty.XMLCreate();  // what the daemon does without a file
    EXPECT_NE(empty.m_XMLNode, nullptr);
    EXPECT_THROW(CProxyPort().XMLCreate(), ErrorXML);  // no parent element to create under
    try {
        CProxyCFG().XMLAdd();
        ADD_FAILURE() << "no exception";
    } catch (const ErrorXML& e) {
        EXPECT_EQ(e.m_Text, L"!m_XMLDOM elements ");
    }
    try {
        VEXACloud::CNodeB::XMLUpdateInteger(nullptr, 8080, "Port", "PortLocal", false);
        ADD_FAILURE() << "no exception";
    } catch (const ErrorXML& e) {
        EXPECT_EQ(e.m_Text, L"Ошибка при добавлении parameters PortLocal elements Port");
        EXPECT_EQ(e.m_Code, 0);
    }
}

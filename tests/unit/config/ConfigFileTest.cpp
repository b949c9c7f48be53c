// Loading the configuration file, the DNS images, building a document and report routing.
#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "common/Loopback.h"
#include "config/CConfigProxy.h"
#include "config/ErrorXML.h"
#include "daemon/VEXAProxy.h"

namespace {

using Bytes = std::vector<unsigned char>;

class ConfigFile : public ::testing::Test {
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
    // Loads text as the configuration file.
    CProxyCFG& Load(const std::string& text) {
        std::ofstream(m_Path) << text;
        m_Cfg.XMLLoadFile(m_Path.c_str());
        return m_Cfg;
    }
    CProxyCFG& LoadRoot(const std::string& children, const std::string& rootAttrs = "") {
        return Load("<?xml version=\"1.0\"?><VEXAProxy " + rootAttrs + ">" + children + "</VEXAProxy>");
    }
    template <class Node>
    Node& At(size_t i) {
        EXPECT_LT(i, m_Cfg.m_Nodes.size());
        EXPECT_EQ(m_Cfg.m_Nodes[i]->TypNode(), Node::kTypNode);
        return static_cast<Node&>(*m_Cfg.m_Nodes[i]);
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

const char* kExample = R"(<?xml version="1.0" encoding="UTF-8"?>
<VEXAProxy DNSSrv="192.168.0.1">
  <Port TypProt="TCP" PortLocal="8080" PortRemote="80" IPRemote="192.168.1.10" HTTPHost="portal"/>
  <Port TypProt="UDPv6" PortLocal="5000" PortRemote="5000" IPv6Remote="fd00::1"/>
  <Port TypProt="TCP" PortLocal="7" Echo="1"/>
  <DNS Name="printer.lan" IP="192.168.0.50" Note="office"/>
  <CloudRM7 PortCloud="5000"/>
</VEXAProxy>
)";

}  // namespace

// Every loaded field shows in the document built from it (BuildingADocument); here what it does not.
TEST_F(ConfigFile, ExampleLoadsEveryField) {
    Load(kExample);
    EXPECT_EQ(m_Cfg.m_DNSSrv, L"192.168.0.1");
    ASSERT_EQ(m_Cfg.m_Nodes.size(), 5u);
    for (auto& node : m_Cfg.m_Nodes) EXPECT_EQ(node->m_Parent, &m_Cfg);
    EXPECT_EQ(At<CProxyPort>(0).RemoteKind(), 1);
    EXPECT_FALSE(At<CProxyPort>(0).IsEcho());
    EXPECT_EQ(At<CProxyPort>(1).RemoteHost(), L"fd00::1");
    EXPECT_EQ(At<CProxyPort>(1).RemoteKind(), 2);
    EXPECT_TRUE(At<CProxyPort>(2).IsEcho());
    EXPECT_EQ(At<CProxyDNS>(3).m_LenQuestion, 13u + 8 + 4);
    EXPECT_EQ(At<CProxyDNS>(3).m_LenAnswer, 29u + 8 + 4);
}

TEST_F(ConfigFile, ImagesForAB) {
    LoadRoot(R"(<DNS Name="a.b" IP="1.2.3.4"/><DNS Name=""/>)");
    auto& dns = At<CProxyDNS>(0);
    const Bytes question = {0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x61, 0x01, 0x62, 0x00, 0x00, 0x01, 0x00, 0x01};
    const Bytes answer = {0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x01, 0x61, 0x01, 0x62, 0x00, 0x00, 0x01, 0x00, 0x01,
                          0xC0, 0x0C, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x2B, 0xDB, 0x00, 0x04, 0x01, 0x02, 0x03, 0x04};
    EXPECT_EQ(Image(dns.m_Question, dns.m_LenQuestion), question);
    EXPECT_EQ(Image(dns.m_Answer, dns.m_LenAnswer), answer);

    unsigned char small[33] = {};
    EXPECT_EQ(dns.Answer(small, 32), 0u);  // one byte short: nothing written
    EXPECT_EQ(Image(small, 33), Bytes(33, 0));
    EXPECT_EQ(dns.Answer(small, 33), 33u);

    auto& root = At<CProxyDNS>(1);  // the empty name is the root alone
    EXPECT_EQ(Image(root.m_Question, root.m_LenQuestion), Bytes({0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1}));
}

TEST_F(ConfigFile, NamesTooLongForTheImages) {
    // label bytes plus length bytes: 99 fits both, 100..115 only the question, 116 neither
    auto name = [](size_t total) { return std::string(48, 'a') + "." + std::string(total - 50, 'b'); };
    LoadRoot("<DNS Name=\"" + name(99) + "\"/><DNS Name=\"" + name(100) + "\"/><DNS Name=\"" + name(115) +
             "\"/><DNS Name=\"" + name(116) + "\" IP=\"1.2.3.4\"/>");
    ASSERT_EQ(m_Cfg.m_Nodes.size(), 4u);
    EXPECT_EQ(At<CProxyDNS>(0).m_LenQuestion, 112u);
    EXPECT_EQ(At<CProxyDNS>(0).m_LenAnswer, 128u);
    EXPECT_EQ(At<CProxyDNS>(1).m_LenQuestion, 113u);
    EXPECT_EQ(At<CProxyDNS>(1).m_LenAnswer, 0u);
    EXPECT_EQ(At<CProxyDNS>(2).m_LenQuestion, 128u);
    EXPECT_EQ(At<CProxyDNS>(2).m_LenAnswer, 0u);
    EXPECT_EQ(At<CProxyDNS>(3).m_LenQuestion, 0u);  // still loaded, without images
    EXPECT_EQ(At<CProxyDNS>(3).m_LenAnswer, 0u);
    EXPECT_EQ(Dotted(At<CProxyDNS>(3).m_IP), "1.2.3.4");
}

TEST_F(ConfigFile, OddValues) {
    LoadRoot(R"(<Port TypProt=" TCP " PortLocal="8080abc" PortRemote="0x10" Echo=""/>
                <Port TypProt="tcp" PortLocal="" PortRemote="12.9" Note="  a  b  "/>
                <Port TypProt="TCP6"/>
                <Port TypProt="TCPv6" IPRemote="10.0.0.1" IPv6Remote="::1"/>
                <DNS Name=" a.b " IP="10.0.0.300"/><DNS Name="a.b" IP="10.0.0"/><DNS IP="1.2.3.4.5"/>
                <CloudRM7 PortRM7="" VEXACloud="   "/>)",
             R"(DNSSrv="  ")");
    EXPECT_EQ(m_Cfg.m_DNSSrv, L"");
    ASSERT_EQ(m_Cfg.m_Nodes.size(), 8u);
    auto& p0 = At<CProxyPort>(0);
    EXPECT_EQ(p0.m_TypProt, CProxyPort::TCP);
    EXPECT_EQ(p0.m_Echo, 0);  // an empty Echo makes an echo rule
    EXPECT_TRUE(p0.IsEcho());
    auto& p1 = At<CProxyPort>(1);
    EXPECT_EQ(p1.m_TypProt, CProxyPort::UDP);
    EXPECT_EQ(p1.m_Note, L"a  b");
    EXPECT_EQ(At<CProxyPort>(2).m_TypProt, CProxyPort::UDP);
    auto& p3 = At<CProxyPort>(3);
    EXPECT_EQ(p3.m_TypProt, CProxyPort::TCPv6);
    EXPECT_EQ(p3.RemoteHost(), L"10.0.0.1");  // IPRemote wins
    EXPECT_EQ(p3.RemoteKind(), 1);
    EXPECT_EQ(At<CProxyDNS>(4).m_DNSName, L"a.b");
    EXPECT_EQ(At<CProxyDNS>(5).m_IP, 0);
    auto& cloud = At<CProxyCloudRM7>(7);
    EXPECT_EQ(cloud.m_PortRM7, 0);
    EXPECT_EQ(cloud.m_PortCloud, 0);
    EXPECT_EQ(cloud.m_VEXACloud, L"cloud.vexa.invalid");
}

TEST_F(ConfigFile, OnlyExactDirectChildrenCount) {
    LoadRoot(R"(<port PortLocal="1"/><Dns Name="x"/><!-- c --> text <Other><Port PortLocal="2"/></Other>
                <DNS Name="same" IP="1.1.1.1"/><DNS Name="same" IP="2.2.2.2"/><Port PortLocal="3"><Port PortLocal="4"/></Port>)");
    ASSERT_EQ(m_Cfg.m_Nodes.size(), 3u);
    EXPECT_EQ(Dotted(At<CProxyDNS>(0).m_IP), "1.1.1.1");
    EXPECT_EQ(Dotted(At<CProxyDNS>(1).m_IP), "2.2.2.2");
    EXPECT_EQ(At<CProxyPort>(2).m_PortLocal, 3);
}

namespace {
std::string g_ParserMessages;
void CollectParserMessage(void*, const char* format, ...) {
    char buf[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    g_ParserMessages += buf;
}
}  // namespace

TEST_F(ConfigFile, UnusableFilesGiveAnEmptyConfiguration) {
    xmlGenericErrorFunc handler = CollectParserMessage;
    initGenericErrorDefaultFunc(&handler);
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"malformed", "<?xml version=\"1.0\"?><VEXAProxy DNSSrv=\"1.1.1.1\"><Port PortLocal=\"1\"></VEXAProxy>"},
        {"wrong root", "<VEXADOMAIN DNSSrv=\"1.1.1.1\"><Port PortLocal=\"1\"/></VEXADOMAIN>"},
        {"nested root", "<VEXADOMAIN><VEXAProxy DNSSrv=\"1.1.1.1\"><Port PortLocal=\"1\"/></VEXAProxy></VEXADOMAIN>"},
        {"empty file", ""},
    };
    for (const auto& [what, text] : cases) {
        LoadRoot(R"(<Port PortLocal="9"/>)", R"(DNSSrv="9.9.9.9")");  // a previous load is replaced
        ASSERT_EQ(m_Cfg.m_Nodes.size(), 1u);
        g_ParserMessages.clear();
        EXPECT_NO_THROW(Load(text)) << what;
        EXPECT_TRUE(m_Cfg.m_Nodes.empty()) << what;
        EXPECT_EQ(m_Cfg.m_DNSSrv, L"") << what;
        EXPECT_EQ(g_ParserMessages.empty(), std::string(what).find("root") != std::string::npos) << what << g_ParserMessages;
    }
    EXPECT_NO_THROW(m_Cfg.XMLLoadFile((m_Dir + "/missing.xml").c_str()));
    EXPECT_TRUE(m_Cfg.m_Nodes.empty());
    initGenericErrorDefaultFunc(nullptr);
}

TEST_F(ConfigFile, NeverFetchesFromTheNetwork) {
    // A loopback "server" that would hand out a configuration if the loader ever connected.
    lb::Server server("127.0.0.1", [](int fd) { lb::SendAll(fd, "HTTP/1.0 200 OK\r\n\r\n<VEXAProxy DNSSrv=\"fetched\"/>"); });
    std::string url = "http://127.0.0.1:" + std::to_string(server.Port()) + "/VEXAProxy.xml";
    m_Cfg.XMLLoadFile(url.c_str());
    Load("<!DOCTYPE VEXAProxy SYSTEM \"" + url + "\"><VEXAProxy DNSSrv=\"local\"/>");
    EXPECT_EQ(server.Accepted(), 0);
    EXPECT_EQ(m_Cfg.m_DNSSrv, L"local");
}

TEST_F(ConfigFile, BuildingADocument) {
    Load(kExample);
    m_Cfg.XMLCreate();
    xmlChar* text = nullptr;
    int size = 0;
    xmlDocDumpMemory(m_Cfg.m_XMLDOM.get(), &text, &size);
    std::string xml(reinterpret_cast<char*>(text), size);
    xmlFree(text);
    EXPECT_EQ(xml,
              "<?xml version=\"1.0\"?>\n"
              "<VEXAProxy DNSSrv=\"192.168.0.1\">"
              "<Port TypProt=\"TCP\" PortLocal=\"8080\" PortRemote=\"80\" IPRemote=\"192.168.1.10\" HTTPHost=\"portal\" Echo=\"-1\"/>"
              "<Port TypProt=\"UDPv6\" PortLocal=\"5000\" PortRemote=\"5000\" IPv6Remote=\"fd00::1\" Echo=\"-1\"/>"
              "<Port TypProt=\"TCP\" PortLocal=\"7\" Echo=\"1\"/>"
              "<DNS Name=\"printer.lan\" IP=\"192.168.0.50\" Note=\"office\"/>"
              "<CloudRM7 PortRM7=\"4999\" PortCloud=\"5000\" PortVEXACloud=\"4999\" VEXACloud=\"cloud.vexa.invalid\"/>"
              "</VEXAProxy>\n");

    At<CProxyPort>(0).m_TypProt = 9;  // an unknown code writes UDP
    At<CProxyPort>(0).XMLUpdate();
    xmlChar* typ = xmlGetProp(At<CProxyPort>(0).m_XMLNode, BAD_CAST "TypProt");
    EXPECT_STREQ(reinterpret_cast<char*>(typ), "UDP");
    xmlFree(typ);

    CProxyCFG empty;
    empty.XMLCreate();  // what the daemon does without a file
    EXPECT_NE(empty.m_XMLNode, nullptr);
    try {
        CProxyCFG none;
        none.XMLAdd();
        FAIL() << "no exception";
    } catch (const ErrorXML& e) {
        EXPECT_EQ(e.m_Text, L"!m_XMLDOM elements ");
    }
    CProxyPort orphan;  // no parent element to create under
    EXPECT_THROW(orphan.XMLCreate(), ErrorXML);
}

TEST(ConfigReports, GoToTheRootAndTheDaemonLogsThem) {
    _Modul.m_Log.TakeQueued();
    CProxyCFG plain;
    CProxyPort a;
    a.m_Parent = &plain;
    a.BadPut(L"dropped");
    EXPECT_TRUE(_Modul.m_Log.TakeQueued().empty());

    CConfigProxy daemon;
    CProxyDNS b;
    b.m_Parent = &daemon;
    b.BadPut(L"Плохое имя");
    b.BadPutErr(L"with code", 2);
    auto lines = _Modul.m_Log.TakeQueued();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].substr(20), "Плохое имя");
    EXPECT_EQ(lines[1].substr(20, 14), "with code: 2 -");
}

// Loading the configuration file (odd values read like the original loader, unusable files, no
// network) and the DNS images.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "common/Loopback.h"
#include "config/CProxyCFG.h"
#include "config/RuleSummary.h"

namespace {
using lb::Bytes;

class Config : public ::testing::Test {
protected:
    void TearDown() override { unlink(m_Path.c_str()); }
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
    const std::string m_Path = "/tmp/vexacfg" + std::to_string(getpid()) + ".xml";
    CProxyCFG m_Cfg;
};
}  // namespace

// Numbers like strtol base 10 kept to 32 bits (a negative client bound means none, like 0);
// addresses from four numbers, low 8 bits each.
TEST_F(Config, NumbersBoundsAndAddresses) {
    const std::pair<const char*, int> numbers[] = {{"8080abc", 8080}, {"", 0},     {"abc", 0},   {"-7", -7},
                                                   {"  +42", 42},     {"0x10", 0}, {"12.9", 12}, {"4294967297", 1}};
    const std::pair<const char*, const char*> ips[] = {
        {"192.168.1.1", "192.168.1.1"}, {"1.2.3.4.5", "1.2.3.4"},  {"256.1.1.1", "0.1.1.1"},
        {"10.0.0.300", "10.0.0.44"},    {"-1.0.0.1", "255.0.0.1"}, {"99999999999999999999.0.0.1", "255.0.0.1"},
        {"10.0.0", "0.0.0.0"},          {"10..0.1", "0.0.0.0"},    {"a.b.c.d", "0.0.0.0"},
        {"1,2,3,4", "0.0.0.0"}};
    std::string text = "<CloudRM7 MaxClients=\"500\"/>";
    for (const auto& [number, _] : numbers)
        text += "<Port PortLocal=\"" + std::string(number) + "\" MaxClients=\"" + number + "\"/>";
    for (const auto& ip : ips) text += "<DNS Name=\"a\" IP=\"" + std::string(ip.first) + "\"/>";
    LoadRoot(text, "DNSMaxClients=\" 12x\"");
    ASSERT_EQ(m_Cfg.m_Nodes.size(), 1 + std::size(numbers) + std::size(ips));
    EXPECT_EQ(m_Cfg.m_DNSMaxClients, 12);
    EXPECT_EQ(At<CProxyCloudRM7>(0).m_MaxClients, 500);
    size_t i = 1;
    for (const auto& [number, read] : numbers) {
        EXPECT_EQ(At<CProxyPort>(i).m_PortLocal, read) << number;
        EXPECT_EQ(At<CProxyPort>(i++).m_MaxClients, std::max(read, 0)) << number;
    }
    for (const auto& ip : ips) EXPECT_EQ(At<CProxyDNS>(i++).m_IP, static_cast<int>(inet_addr(ip.second))) << ip.first;
}

TEST_F(Config, OddValuesAndOnlyExactDirectChildren) {
    LoadRoot(R"(<Port TypProt=" TCP " PortLocal="8080" Echo=""/>
                <Port TypProt="tcp"/><Port TypProt="TCP6"/>
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
    EXPECT_EQ(At<CProxyPort>(2).m_TypProt, CProxyPort::UDP);
    EXPECT_EQ(At<CProxyPort>(3).RemoteHost(), L"10.0.0.1");  // IPRemote wins
    EXPECT_EQ(At<CProxyDNS>(4).m_DNSName, L"a.b");
    EXPECT_EQ(At<CProxyDNS>(5).m_IP, static_cast<int>(inet_addr("2.2.2.2")));  // the same name twice: both kept
    EXPECT_EQ(At<CProxyCloudRM7>(6).m_PortRM7, 0);
    EXPECT_EQ(At<CProxyCloudRM7>(6).m_VEXACloud, L"cloud.vexa.invalid");
}

// Label bytes plus length bytes: 99 fit both images, 100..115 only the question, 116 neither; the
// empty name is the root alone. What the images hold is what the DNS relay's answers show.
TEST_F(Config, DnsImagesAndTheirLimits) {
    auto name = [](size_t total) { return "<DNS Name=\"" + std::string(48, 'a') + "." + std::string(total - 50, 'b') + "\"/>"; };
    LoadRoot("<DNS Name=\"a.b\" IP=\"1.2.3.4\"/><DNS Name=\"\"/>" + name(99) + name(100) + name(115) + name(116));
    unsigned char small[33] = {};
    EXPECT_EQ(At<CProxyDNS>(0).Answer(small, 32), 0u);  // one byte short: nothing written
    EXPECT_EQ(Bytes(small, small + 33), Bytes(33, 0));
    EXPECT_EQ(At<CProxyDNS>(0).Answer(small, 33), 33u);
    const std::pair<unsigned long, unsigned long> lengths[] = {{17, 33}, {13, 29}, {112, 128}, {113, 0}, {128, 0}, {0, 0}};
    for (size_t i = 0; i < std::size(lengths); ++i) {
        EXPECT_EQ(At<CProxyDNS>(i).m_LenQuestion, lengths[i].first) << i;
        EXPECT_EQ(At<CProxyDNS>(i).m_LenAnswer, lengths[i].second) << i;
    }
}

// A missing or malformed file is the system tests' part (nothing starts); these parse, but hold no
// configuration.
TEST_F(Config, UnusableFilesGiveAnEmptyConfiguration) {
    for (const std::string text : {"<VEXADOMAIN DNSSrv=\"1.1.1.1\"><Port PortLocal=\"1\"/></VEXADOMAIN>", "",
                                   "<VEXADOMAIN><VEXAProxy DNSSrv=\"1.1.1.1\"><Port/></VEXAProxy></VEXADOMAIN>"}) {
        LoadRoot(R"(<Port PortLocal="9"/>)", R"(DNSSrv="9.9.9.9")");  // a previous load is replaced
        ASSERT_EQ(m_Cfg.m_Nodes.size(), 1u);
        EXPECT_NO_THROW(Load(text));
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
// Where rules listen (the address of the rule's family), whom they serve and their sweep limits (an
// unreadable one: the default). The lines naming unreadable entries are test_allow's.
TEST_F(Config, ListeningAddressesAllowListsAndLimits) {
    LoadRoot(R"(<Port TypProt="TCP" PortLocal="8081" PortRemote="80" IPRemote="h" IPLocal=" 127.0.0.2 " IPv6Local="::1"
                      Allow="10.0.0.0/8, fd00::/8" IdleLimit="600" OpenLimit="0"/>
                <Port TypProt="UDPv6" PortLocal="53" Echo="1" IPLocal="127.0.0.2" IPv6Local="::1" Allow="" IdleLimit="abc" OpenLimit="-5"/>
                <Port TypProt="UDP" PortLocal="5" PortRemote="5" IPRemote="h" IdleLimit="0" IPLocal="10.1" Allow="10.0.0.1/8 x"/>
                <Port TypProt="TCPv6" PortLocal="6" PortRemote="6" IPRemote="h" IdleLimit="45s" OpenLimit="99999999999"/>)");
    const std::tuple<const wchar_t*, int, int> rules[] = {
        {L"TCPv4  8081 -> [h]:80 listen 127.0.0.2 allow 10.0.0.0/8,fd00::/8", 600, 0},
        {L"UDPv6    53 -> Echo listen ::1 allow none", 180, 60},
        {L"UDPv4     5 -> [h]:5 listen 10.1 allow none", 180, 60},
        {L"TCPv6     6 -> [h]:6", 45, 60},
    };
    for (size_t i = 0; i < std::size(rules); ++i) {
        const auto& [line, idle, open] = rules[i];
        EXPECT_EQ(SummaryLine(At<CProxyPort>(i)), line);
        EXPECT_EQ(std::make_pair(At<CProxyPort>(i).m_IdleLimit, At<CProxyPort>(i).m_OpenLimit), std::make_pair(idle, open)) << i;
    }
}

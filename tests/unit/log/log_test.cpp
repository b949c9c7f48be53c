// Numbering, rotation, the bounded queue, the repeat filter and a Close that loses nothing.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <set>

#include "log/CBaseLog.h"
#include "util/Clock.h"

namespace fs = std::filesystem;

namespace {
class TestLog : public CBaseLog {
public:
    TestLog(std::string dir, unsigned long limit = 1000, int minutes = 0)
        : CBaseLog(limit, minutes), m_Dir(std::move(dir)) {}
    ~TestLog() override { Close(); }
    DBString Dir() override { return DBString(m_Dir); }
    void Error(const std::string& message) override { errors.push_back(message); }
    std::vector<std::string> errors;

private:
    std::string m_Dir;
};

// "dd.mm.yyyy hh:mm:ss " followed by text.
bool Stamped(const std::string& line, const std::string& text) {
    const std::string shape = "00.00.0000 00:00:00 ";
    if (line.size() != shape.size() + text.size() || line.compare(shape.size(), text.size(), text) != 0) return false;
    for (size_t i = 0; i < shape.size(); ++i)
        if (shape[i] == '0' ? !std::isdigit(static_cast<unsigned char>(line[i])) : line[i] != shape[i]) return false;
    return true;
}

class LogDir : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/vexa-log-XXXXXX";
        root = mkdtemp(tmpl);
        dir = root + "/a/b/logs";
    }
    void TearDown() override { fs::remove_all(root); }

    void Touch(const std::string& name, size_t bytes = 0) {
        fs::create_directories(dir);
        std::ofstream(dir + "/" + name) << std::string(bytes, 'x');
    }
    std::set<std::string> Files() {
        std::set<std::string> names;
        for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename());
        return names;
    }
    std::vector<std::string> Lines(const std::string& name) {
        std::ifstream in(dir + "/" + name);
        std::vector<std::string> lines;
        for (std::string l; std::getline(in, l);) lines.push_back(l);
        return lines;
    }

    std::string root, dir;
};
}  // namespace

TEST_F(LogDir, OpenCreatesTheDirectoryAndStampsLines) {
    TestLog log(dir);
    ASSERT_TRUE(log.Open("C", "log"));
    EXPECT_TRUE(log.Open("C", "log"));  // already open: no second writer
    log.Put(L"hello \u0416");
    log.PutUtf8("narrow");
    log.PutDirect("raw line");
    log.Close();
    auto lines = Lines("C0000001.log");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(Stamped(lines[0], "hello \xD0\x96")) << lines[0];
    EXPECT_TRUE(Stamped(lines[1], "narrow")) << lines[1];
    EXPECT_EQ(lines[2], "raw line");
}

TEST_F(LogDir, ContinuesTheNewestFileAndIgnoresForeignNames) {
    Touch("C0000007.log");
    Touch("C0000012.log");
    Touch("C5.log");
    Touch("D0000099.log");
    TestLog log(dir);
    ASSERT_TRUE(log.Open("C", "log"));
    EXPECT_EQ(log.CurrentNumber(), 12);
    EXPECT_EQ(log.NumFile("C0000099.txt"), 99);
    EXPECT_EQ(log.NumFile("C0000012.log.gz"), 12);
    EXPECT_EQ(log.NumFile("C5.log"), -1);
    EXPECT_EQ(log.NumFile("D0000099.log"), -1);
    EXPECT_EQ(log.NumFile("Cab.log"), 0);
    EXPECT_EQ(log.NumFile("."), -1);
    // Numbers the log could not continue from are no files of it; negative ones are read but ignored.
    EXPECT_EQ(log.NumFile("C2147483647.log"), -1);
    EXPECT_EQ(log.NumFile("C99999999999.log"), -1);
    EXPECT_EQ(log.NumFile("C2147483646.log"), 2147483646);
    EXPECT_EQ(log.NumFile("C-000005.log"), -5);
    EXPECT_EQ(log.NameFile(12345678), L"C12345678.log");
}

TEST_F(LogDir, RotatesPastOneMillionBytesAndKeepsTheNewest100) {
    for (int i = 1; i <= 149; ++i) Touch(DBString().Format(L"C%07d.log", i).ToStr());
    Touch("C0000150.log", 1000100);
    TestLog log(dir);
    ASSERT_TRUE(log.Open("C", "log"));
    log.PutDirect("first of the new file");
    log.Close();
    auto names = Files();
    EXPECT_EQ(names.size(), 101u);
    EXPECT_EQ(*names.begin(), "C0000051.log");
    EXPECT_EQ(Lines("C0000151.log"), std::vector<std::string>{"first of the new file"});
    EXPECT_EQ(fs::file_size(dir + "/C0000150.log"), 1000100u);
}

TEST_F(LogDir, QueueKeepsTheNewestLinesWhenTheWriterStalls) {
    TestLog log(dir, 1000);
    for (int i = 0; i < 1500; ++i) log.PutDirect(std::to_string(i));
    auto queued = log.TakeQueued();
    ASSERT_EQ(queued.size(), 1001u);
    EXPECT_EQ(queued.front(), "499");
    EXPECT_EQ(queued.back(), "1499");
    EXPECT_EQ(log.Dropped(), 499u);  // what the status report says was lost
}

TEST_F(LogDir, CloseWritesEverythingQueuedBeforeIt) {
    TestLog log(dir, 100000);
    ASSERT_TRUE(log.Open("C", "log"));
    for (int i = 0; i < 20000; ++i) log.PutDirect("line " + std::to_string(i));
    log.PutDirect("End Stop");
    log.Close();
    auto lines = Lines("C0000001.log");
    ASSERT_EQ(lines.size(), 20001u);
    EXPECT_EQ(lines.back(), "End Stop");
}

TEST_F(LogDir, UnwritableDirectoryReportsAndDropsWithoutBlocking) {
    Touch("placeholder");
    TestLog log(dir + "/placeholder/sub");  // a file where a directory should be
    EXPECT_FALSE(log.Open("C", "log"));
    log.PutDirect("lost");
    log.Close();
    ASSERT_FALSE(log.errors.empty());
    EXPECT_EQ(log.errors[0].rfind("CBaseLog::OpenNew 1: 20 - ", 0), 0u) << log.errors[0];

    TestLog never("/nonexistent/never");
    never.Close();  // never opened: nothing to join, nothing to report
    EXPECT_TRUE(never.errors.empty());
}

TEST(RepeatFilter, WindowFromTheFirstOccurrence) {
    Clock::Reset();
    CBaseLog::DelayMsg off(0);
    EXPECT_TRUE(off.IsNeedToPut("x"));
    EXPECT_TRUE(off.IsNeedToPut("x"));
    CBaseLog::DelayMsg filter(1);
    EXPECT_TRUE(filter.IsNeedToPut("err: 98"));
    EXPECT_FALSE(filter.IsNeedToPut("err: 98"));
    EXPECT_TRUE(filter.IsNeedToPut("err: 99"));  // a different text is its own entry
    Clock::Advance(30);
    EXPECT_FALSE(filter.IsNeedToPut("err: 98"));  // suppressed repeats do not extend the window
    Clock::Advance(31);
    EXPECT_TRUE(filter.IsNeedToPut("err: 98"));
    Clock::Reset();
}

TEST(LogTexts, CnvErrAndDumps) {
    EXPECT_EQ(CBaseLog::CnvErr(L"plain", 0), L"plain");
    EXPECT_EQ(CBaseLog::CnvErr(L"CUDPPort::Bind(): bind()", 98),
              DBString(L"CUDPPort::Bind(): bind(): 98 - ") + "Address already in use");
    unsigned char data[31];
    for (int i = 0; i < 31; ++i) data[i] = static_cast<unsigned char>(i + 0xF0);
    DBString thirty = CBaseLog::DumpText(L"T", data, 30);
    EXPECT_EQ(thirty.size(), 1u + 30 * 3);
    EXPECT_EQ(thirty.substr(0, 7), L"T F0 F1");
    EXPECT_EQ(CBaseLog::DumpText(L"T", data, 31), thirty + L" ...");
    EXPECT_EQ(CBaseLog::DumpText(L"T", data, 0), L"T");
    EXPECT_EQ(CBaseLog::DumpText(L"T", data, -5), L"T");
}

// Each writing operation queues exactly its line: the stamp and the UTF-8 text, "?utf-8?" alone for
// a text that cannot be encoded, and with a repeat window the same dump or error only once, whether
// its title came wide or in UTF-8.
TEST(LogLines, EveryKindQueuesItsLineAndRepeatsAreHeldBack) {
    Clock::Reset();
    TestLog log("/nonexistent/lines", 1000, 1);  // never opened: the lines stay queued
    unsigned char data[31];
    for (int i = 0; i < 31; ++i) data[i] = static_cast<unsigned char>(i + 0xF0);
    std::string dump = "T";
    for (int i = 0; i < 30; ++i) dump += " " + DBString().Format(L"%02X", data[i]).ToStr();
    log.Put(DBString(L"UDPv4 07000 00001  10.0.0.5:40000 "), L"connect \u0416");
    log.Put(L"bad \xD800 char");
    log.PutMes(L"T", data, 31);
    log.PutMes(std::string_view("T"), data, 31);  // the same text: held back
    log.PutMes(std::string_view("T"), data, 30);
    log.PutMes(L"\xD800", data, 1);
    log.PutErr(L"CUDPPort::Bind(): bind()", 98);
    log.PutErr(L"CUDPPort::Bind(): bind()", 98);
    log.PutUtf8("pool line");
    auto q = log.TakeQueued();
    ASSERT_EQ(q.size(), 7u);
    EXPECT_TRUE(Stamped(q[0], "UDPv4 07000 00001  10.0.0.5:40000 connect \xD0\x96")) << q[0];
    EXPECT_EQ(q[1], "?utf-8?");
    EXPECT_TRUE(Stamped(q[2], dump + " ...")) << q[2];
    EXPECT_TRUE(Stamped(q[3], dump)) << q[3];
    EXPECT_EQ(q[4], "?utf-8?");
    EXPECT_TRUE(Stamped(q[5], "CUDPPort::Bind(): bind(): 98 - Address already in use")) << q[5];
    EXPECT_TRUE(Stamped(q[6], "pool line")) << q[6];
}

// A burst far larger than the queue, as a sweep removing thousands of connections writes: paced,
// every line reaches the files; a log that is not being written never makes the caller wait.
TEST_F(LogDir, PacedBurstLosesNoLine) {
    TestLog idle(dir, 10);
    for (int i = 0; i < 100; ++i) idle.Pace();  // never opened: returns at once

    TestLog log(dir, 100);
    ASSERT_TRUE(log.Open("C", "log"));
    constexpr int kLines = 30000;
    for (int i = 0; i < kLines; ++i) {
        log.Pace();
        log.PutDirect("line " + std::to_string(i) + std::string(60, '.'));
    }
    log.Close();
    int total = 0;
    for (const auto& name : Files()) total += static_cast<int>(Lines(name).size());
    EXPECT_EQ(kLines, total);
    EXPECT_GT(Files().size(), 1u);  // rotated on the way
}

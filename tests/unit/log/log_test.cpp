// Numbering, rotation, the bounded queue, the repeat filter, the lines themselves and a Close that
// loses nothing.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>

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

private:
    std::string m_Dir;
};

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
    // Every file of the directory with its lines.
    std::map<std::string, std::vector<std::string>> Files() {
        std::map<std::string, std::vector<std::string>> files;
        for (const auto& e : fs::directory_iterator(dir)) {
            auto& lines = files[e.path().filename()];
            std::ifstream in(e.path());
            for (std::string l; std::getline(in, l);) lines.push_back(l);
        }
        return files;
    }
    std::string root, dir;
};
}  // namespace

// The newest file is continued, or the next one begun once it is full; other names are left alone.
TEST_F(LogDir, RotatesPastOneMillionBytesAndKeepsTheNewest100) {
    for (int i = 1; i <= 149; ++i) Touch(DBString().Format(L"C%07d.log", i).ToStr());
    Touch("C0000150.log", 1000100);
    Touch("C5.log");
    Touch("D0000999.log");
    TestLog log(dir);
    ASSERT_TRUE(log.Open("C", "log"));
    // Numbers the log could not continue from are no files of it; negative ones are read but ignored.
    const std::pair<const char*, int> numbers[] = {{"C0000012.log.gz", 12}, {"C2147483647.log", -1}, {"C-000005.log", -5}};
    for (const auto& [name, number] : numbers) EXPECT_EQ(log.NumFile(name), number) << name;
    log.PutDirect("first of the new file");
    log.Close();
    auto files = Files();
    EXPECT_EQ(files.size(), 103u);
    EXPECT_EQ(files.begin()->first, "C0000051.log");
    EXPECT_EQ(files.rbegin()->first, "D0000999.log");
    EXPECT_EQ(files["C0000151.log"], std::vector<std::string>{"first of the new file"});
    EXPECT_EQ(files["C0000150.log"][0].size(), 1000100u);
}

TEST_F(LogDir, QueueKeepsTheNewestLinesWhenTheWriterStalls) {
    TestLog log(dir, 1000);
    for (int i = 0; i < 1500; ++i) log.PutDirect(std::to_string(i));
    auto queued = log.TakeQueued();
    ASSERT_EQ(queued.size(), 1001u);
    EXPECT_EQ(queued.front(), "499");
    EXPECT_EQ(queued.back(), "1499");
    EXPECT_EQ(log.Dropped(), 499u);  // what the status report says was lost
    // Long lines (DNS log records of large messages) fill it by their bytes first.
    for (int i = 0; i < 300; ++i) log.PutDirect(std::string(65535, 'a' + i % 26));
    queued = log.TakeQueued();
    ASSERT_EQ(queued.size(), StringQueue::kMaxBytes / 65535);
    EXPECT_EQ(queued.back(), std::string(65535, 'a' + 299 % 26));
    EXPECT_EQ(log.Dropped(), 499u + 300 - queued.size());
}

// A burst far larger than the queue, as a sweep removing thousands of connections writes: paced,
// every line reaches the files (in a directory made on the way), Close writes what is still queued
// and the next start continues the newest file; a log that is not being written never makes the
// caller wait.
TEST_F(LogDir, PacedBurstAndCloseLoseNoLine) {
    TestLog idle(dir, 10);
    for (int i = 0; i < 100; ++i) idle.Pace();  // never opened: returns at once

    TestLog log(dir, 100);
    ASSERT_TRUE(log.Open("C", "log"));
    constexpr int kLines = 30000;
    for (int i = 0; i < kLines; ++i) {
        log.Pace();
        log.PutDirect("line " + std::to_string(i) + std::string(60, '.'));
    }
    log.PutDirect("End Stop");
    log.Close();
    TestLog again(dir);  // the next start continues the newest file
    ASSERT_TRUE(again.Open("C", "log"));
    again.PutDirect("Start");
    again.Close();
    const auto files = Files();
    size_t total = 0;
    for (const auto& [name, lines] : files) total += lines.size();
    EXPECT_EQ(kLines + 2u, total);
    const auto& last = files.rbegin()->second;
    EXPECT_EQ(std::vector<std::string>(last.end() - 2, last.end()), (std::vector<std::string>{"End Stop", "Start"}));
}

// Each writing operation queues exactly its line: the stamp and the UTF-8 text, "?utf-8?" alone for
// a text that cannot be encoded, dumps of at most 30 bytes, and with a repeat window the same dump or
// error only once in the window from its first occurrence, whether its title came wide or in UTF-8.
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
    log.PutMes(L"Empty", data, 0);
    log.PutErr(L"CUDPPort::Bind(): bind()", 98);
    log.PutErr(L"CUDPPort::Bind(): bind()", 98);
    Clock::Advance(std::chrono::seconds(30));
    log.PutErr(L"CUDPPort::Bind(): bind()", 98);  // held back repeats do not extend the window
    Clock::Advance(std::chrono::seconds(31));
    log.PutErr(L"CUDPPort::Bind(): bind()", 98);
    log.PutUtf8("pool line");
    const std::string bind = "CUDPPort::Bind(): bind(): 98 - Address already in use";
    const std::vector<std::string> expected = {"UDPv4 07000 00001  10.0.0.5:40000 connect \xD0\x96",
                                               "?utf-8?", dump + " ...", dump, "?utf-8?", "Empty", bind, bind,
                                               "pool line"};
    const auto q = log.TakeQueued();
    ASSERT_EQ(q.size(), expected.size());
    for (size_t i = 0; i < q.size(); ++i) {
        const bool bare = expected[i] == "?utf-8?";
        EXPECT_EQ(bare ? q[i] : q[i].substr(20), expected[i]);
        std::string stamp = bare ? "" : q[i].substr(0, 20);
        for (char& c : stamp) c = std::isdigit(static_cast<unsigned char>(c)) ? '0' : c;
        EXPECT_EQ(stamp, bare ? "" : "00.00.0000 00:00:00 ") << q[i];
    }
    Clock::Reset();
}

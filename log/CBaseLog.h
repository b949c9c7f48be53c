#pragma once
// Rotating log files: callers format and queue a line and return at once; a writer thread appends
// the lines to numbered files (prefix, seven digits, extension) in Dir(), starts the next number past
// one million bytes and keeps the newest 100 full files.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>
#include <thread>

#include "log/StringQueue.h"
#include "util/DBString.h"

// Protected, not private: the logs derived from it must reach the stream's virtual base to destroy it.
class CBaseLog : protected std::ofstream {
public:
    // The repeat filter: an identical error or dump text is written at most once per window.
    class DelayMsg : private std::map<std::string, int64_t> {
    public:
        explicit DelayMsg(int minutes);
        virtual ~DelayMsg() = default;
        // Asked only while IsOn.
        bool IsNeedToPut(const std::string& text);
        // False for a window below one minute: then every text passes and nothing is kept.
        bool IsOn() const { return m_Minutes >= 1; }

    private:
        std::mutex m_Lock;
        int64_t m_NextPurge;
        int m_Minutes;
    };

    static constexpr std::streamoff kRotateAt = 999999;  // a file past this many bytes is full
    static constexpr std::chrono::milliseconds kGatherPause{2};
    static constexpr size_t kGatherBelow = 64;
    static constexpr std::chrono::milliseconds kPaceLimit{100};
    static constexpr std::chrono::milliseconds kRelayPaceLimit{20};
    static constexpr int kWriterNice = -10;
    static constexpr size_t kFloodLines = 128;
    static constexpr std::chrono::seconds kFloodHold{1};

    CBaseLog(unsigned long queueLimit, int repeatMinutes);
    virtual ~CBaseLog();
    CBaseLog(const CBaseLog&) = delete;
    CBaseLog& operator=(const CBaseLog&) = delete;

    virtual int NumFile(const char* name);
    virtual DBString NameFile(int n);
    virtual DBString Dir() = 0;
    virtual void Error(const std::string& message);

    bool Open(const char* prefix, const char* extension);
    // Writes every line queued before the call, then stops the writer and closes the file.
    void Close();

    void Put(const wchar_t* text);
    // A line of a connection or association: its prefix followed by text, both encoded straight
    // behind the time stamp.
    void Put(std::wstring_view prefix, const wchar_t* text);
    void PutUtf8(const std::string& text);
    // The line is queued as it is (moved: a DNS record is built for the queue and not copied).
    void PutDirect(std::string line);
    // For housekeeping that writes a burst of lines (a sweep removing thousands of connections at
    // once), called before each line: while the queue is three-quarters full it waits for the
    // writer, so that the burst reaches the file instead of pushing its own lines out of the bounded
    // queue. A writer that makes no progress within limit (a hung disk) is waited for no more until
    // it has written again. Relay threads pace only what must not be lost (the DNS records) and with
    // a short limit: a disk that hangs costs them one such wait, not one per line.
    void Pace(std::chrono::milliseconds limit = kPaceLimit);
    void PutMes(const wchar_t* title, const unsigned char* data, int length);
    // The same for a title already in UTF-8 (the echo relays build theirs so).
    void PutMes(std::string_view title, const unsigned char* data, int length);
    void PutErr(const wchar_t* text, int error);

    static DBString CnvErr(const wchar_t* text, int error);
    static DBString DumpText(const wchar_t* title, const unsigned char* data, int length);

    // Lines the bounded queue dropped, oldest first, because the writer fell behind.
    uint64_t Dropped() { return m_Queue.Dropped(); }
    // Lines queued and not yet taken by a writer; for tests of logs that were never opened.
    std::deque<std::string> TakeQueued() { return m_Queue.TakeAll(); }

protected:
    bool OpenNew(int n);
    void ClearTo(int n);
    int LastNum();
    // Writes one line into the stream's buffer; checkFile first makes sure the open file still
    // exists. PutLines writes a burst of lines and flushes once.
    void PutInner(const std::string& line, bool checkFile);
    void PutLines(const std::deque<std::string>& lines);
    static void PutProc(CBaseLog* log);
    std::string FilePath(int n);
    // A new line holding the time stamp, with room for more bytes behind it (as many as the text
    // has characters: a queued line keeps no more than an ASCII text needs).
    static std::string StampedLine(size_t more);
    // Queues a line of PutMes or PutErr whose text starts at textAt, unless the repeat filter holds
    // it back. A text that could not be encoded is queued as "?utf-8?" alone.
    void PutFiltered(std::string line, size_t textAt, bool encoded);

private:
    StringQueue m_Queue;
    std::atomic<int32_t> m_Num{1};
    std::atomic<int32_t> m_Run{0};
    DelayMsg m_Delay;
    std::thread m_Thread;
    DBString m_Prefix;
    int32_t m_PrefixLen = 0;
    DBString m_Ext;
    int32_t m_Keep = 100;
    std::atomic<bool> m_Stalled{false};  // Pace gave up waiting; cleared by the writer's next write
    std::streamoff m_Size = 0;  // bytes in the current file, buffered ones included (writer only)
    std::vector<char> m_Buffer = std::vector<char>(64 * 1024);  // the stream's buffer
};

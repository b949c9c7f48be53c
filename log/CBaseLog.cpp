#include "log/CBaseLog.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <system_error>

#include "util/Clock.h"
#include "util/DBTime.h"
#include "util/Digits.h"

namespace {
constexpr size_t kStampLength = 20;  // "dd.mm.yyyy hh:mm:ss "
constexpr int kDumpBytes = 30;       // bytes a dump line shows

// The length of what AppendDump writes.
size_t DumpSize(int length) {
    return 3 * static_cast<size_t>(std::clamp(length, 0, kDumpBytes)) + (length > kDumpBytes ? 4 : 0);
}

// " XX" for each of the first 30 bytes of data, then " ..." when there are more; written into the
// text's own buffer.
template <class Str>
void AppendDump(Str& out, const unsigned char* data, int length) {
    const size_t at = out.size();
    out.resize(at + DumpSize(length));
    auto* p = out.data() + at;
    for (int i = 0; i < std::min(length, kDumpBytes); ++i) {
        *p++ = ' ';
        p = digits::Hex(p, data[i]);
    }
    if (length > kDumpBytes)
        for (char c : std::string_view(" ...")) *p++ = c;
}
}  // namespace

CBaseLog::DelayMsg::DelayMsg(int minutes)
    : m_NextPurge(Clock::Now() + 60000LL * minutes), m_Minutes(minutes) {}

bool CBaseLog::DelayMsg::IsNeedToPut(const std::string& text) {
    std::lock_guard<std::mutex> lock(m_Lock);
    int64_t now = Clock::Now();
    int64_t deadline = now + 60000LL * m_Minutes;
    bool result;
    auto it = find(text);
    if (it == end()) {
        emplace(text, deadline);
        result = true;
    } else if (it->second <= now) {
        it->second = deadline;
        result = true;
    } else {
        result = false;
    }
    if (m_NextPurge < now) {
        std::erase_if(static_cast<std::map<std::string, int64_t>&>(*this),
                      [now](const auto& entry) { return entry.second <= now; });
        m_NextPurge = deadline;
    }
    return result;
}

CBaseLog::CBaseLog(unsigned long queueLimit, int repeatMinutes)
    : m_Queue(queueLimit), m_Delay(repeatMinutes) {}

CBaseLog::~CBaseLog() {
    // The owner is expected to Close first; a writer still running here would outlive the object.
    if (m_Thread.joinable()) Close();
    // The stream's buffer is a member, destroyed before the stream: flush into it no later than now.
    if (is_open()) close();
}

int CBaseLog::NumFile(const char* name) {
    DBString n(name);
    int d = n.Find(L'.', 0);
    if (d < 0) d = static_cast<int>(n.size());
    if (n.Left(m_PrefixLen) != m_Prefix.c_str() || static_cast<int>(n.size()) < m_PrefixLen ||
        m_PrefixLen + 1 >= d)
        return -1;
    std::string digits = n.SubStr(m_PrefixLen, d - m_PrefixLen).ToStr();
    // A number the log could not continue from (the next file is this one plus one) belongs to no
    // file of this log: a stray huge number would otherwise wrap or overflow on rotation.
    long number = std::strtol(digits.c_str(), nullptr, 10);
    if (number < INT_MIN || number >= INT_MAX) return -1;
    return static_cast<int>(number);
}

DBString CBaseLog::NameFile(int n) {
    DBString name(m_Prefix);
    name.AppendFormat(L"%07d", n);
    name += L'.';
    name += m_Ext;
    return name;
}

void CBaseLog::Error(const std::string& message) {
    std::cout << Dir().ToStr() << ": " << message << std::endl;
}

std::string CBaseLog::FilePath(int n) { return (Dir() + L"/" + NameFile(n)).ToStr(); }

bool CBaseLog::Open(const char* prefix, const char* extension) {
    if (is_open()) return true;
    m_Prefix = DBString(prefix);
    m_PrefixLen = static_cast<int32_t>(m_Prefix.size());
    m_Ext = DBString(extension);

    std::string dir = Dir().ToStr();
    for (size_t p = dir.find('/'); p != std::string::npos; p = dir.find('/', p + 1)) {
        std::string part = dir.substr(0, p);
        if (!part.empty() && part != ".") mkdir(part.c_str(), 0775);
    }
    mkdir(dir.c_str(), 0775);

    bool opened = OpenNew(LastNum());
    if (!opened) Error(CnvErr(L"CBaseLog::OpenNew 1", errno).ToStr());
    m_Queue.Restart();
    m_Run = 1;
    m_Thread = std::thread(PutProc, this);
    return opened;
}

void CBaseLog::Close() {
    m_Run = 0;
    m_Queue.Finish();
    if (m_Thread.joinable()) {
        try {
            m_Thread.join();
        } catch (const std::system_error&) {
        }
    }
    if (is_open()) close();
}

bool CBaseLog::OpenNew(int n) {
    m_Num = n;
    // A large buffer lets a burst of lines leave in a few writes (set before each open: the stream
    // takes it only while no file is open).
    rdbuf()->pubsetbuf(m_Buffer.data(), static_cast<std::streamsize>(m_Buffer.size()));
    // ate: the write position starts at the end, so a continued file is measured from its real size.
    open(FilePath(n), std::ios::out | std::ios::app | std::ios::ate);
    if (is_open()) {
        clear();
        m_Size = std::max<std::streamoff>(0, tellp());
        return true;
    }
    setstate(std::ios::failbit);
    return false;
}

int CBaseLog::LastNum() {
    std::string dir = Dir().ToStr() + "/";
    DIR* d = opendir(dir.c_str());
    if (!d) return 1;
    int last = 1;
    while (dirent* e = readdir(d)) {
        int k = NumFile(e->d_name);
        if (k > last) last = k;
    }
    closedir(d);
    return last;
}

void CBaseLog::ClearTo(int n) {
    std::string dir = Dir().ToStr() + "/";
    DIR* d = opendir(dir.c_str());
    if (!d) return;
    while (dirent* e = readdir(d)) {
        int k = NumFile(e->d_name);
        if (k >= 1 && k <= n) unlink((dir + e->d_name).c_str());
    }
    closedir(d);
}

void CBaseLog::PutProc(CBaseLog* log) {
    std::deque<std::string> lines;
    bool raised = false;
    auto lastFlood = std::chrono::steady_clock::time_point();
    while (log->m_Queue.ReadAll(lines)) {
        // A flood of lines (a busy DNS relay) keeps every CPU busy with relay threads, and the writer
        // is the only drain of a queue that drops what it cannot hold: from a flood's first big batch
        // until a second after its last one it raises its own priority so as not to wait for its
        // turn. Only then: at a high priority its frequent short wake-ups would preempt the relays. Without the right to raise it (an
        // unprivileged run) it keeps the normal priority.
        const auto now = std::chrono::steady_clock::now();
        if (lines.size() >= kFloodLines) lastFlood = now;
        const bool flood = now - lastFlood < kFloodHold;
        if (flood != raised) {
            ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), flood ? kWriterNice : 0);
            raised = flood;
        }
        log->PutLines(lines);
        log->m_Stalled = false;
        // A trickle of lines: a short pause lets them gather, so that the writer wakes a few hundred
        // times a second instead of once per line. A flood gets no pause: the bounded queue would
        // drop what the writer leaves in it too long.
        const bool trickle = lines.size() < kGatherBelow;
        lines.clear();
        if (trickle) std::this_thread::sleep_for(kGatherPause);
    }
}

// Everything queued is written and flushed together: one write for a burst instead of one per line
// keeps the writer ahead of busy relays, whose lines the bounded queue would otherwise drop.
void CBaseLog::PutLines(const std::deque<std::string>& lines) {
    bool first = true;
    for (const std::string& line : lines) {
        PutInner(line, first);
        first = false;
    }
    if (!is_open()) return;
    flush();
    if (!good()) {
        Error(CnvErr(L"CBaseLog::PutInner !good()", errno).ToStr());
        close();  // the next line opens the file again
    }
}

void CBaseLog::PutInner(const std::string& line, bool checkFile) {
    // A file deleted under the open stream (its directory removed, say) would swallow every later
    // line unseen; start again at its name, so writing resumes once the directory is back.
    struct stat st;
    if (checkFile && is_open() && ::stat(FilePath(m_Num).c_str(), &st) != 0) {
        Error(CnvErr(L"CBaseLog::PutInner stat()", errno).ToStr());
        close();
    }
    if (!is_open()) {
        if (!OpenNew(m_Num)) Error(CnvErr(L"CBaseLog::OpenNew 2", errno).ToStr());
        if (!is_open()) return;
    }
    if (m_Size > kRotateAt) {
        close();
        int last = LastNum();
        ClearTo(last - m_Keep);
        if (!OpenNew(last + 1)) {
            Error(CnvErr(L"CBaseLog::OpenNew 3", errno).ToStr());
            return;
        }
    }
    *this << line << '\n';
    m_Size += static_cast<std::streamoff>(line.size()) + 1;
    if (!good()) {
        Error(CnvErr(L"CBaseLog::PutInner !good()", errno).ToStr());
        close();
        if (OpenNew(m_Num)) {
            *this << line << '\n';
            m_Size += static_cast<std::streamoff>(line.size()) + 1;
        } else {
            Error(CnvErr(L"CBaseLog::OpenNew 4", errno).ToStr());
        }
    }
}

std::string CBaseLog::StampedLine(size_t more) {
    std::string line;
    line.reserve(kStampLength + more);
    DBTime::CurDateTime().AppendDatTimStr(line);
    return line;
}

void CBaseLog::Put(const wchar_t* text) { Put(std::wstring_view(), text); }

void CBaseLog::Put(std::wstring_view prefix, const wchar_t* text) {
    const std::wstring_view rest = text ? std::wstring_view(text) : std::wstring_view();
    std::string line = StampedLine(prefix.size() + rest.size());
    // A character that cannot be encoded spoils the whole line, as in DBString::ToStr.
    if (!DBString::AppendUtf8(prefix, line) || !DBString::AppendUtf8(rest, line)) line = DBString::kBadUtf8;
    m_Queue.Put(std::move(line));
}

void CBaseLog::PutUtf8(const std::string& text) {
    std::string line = StampedLine(text.size());
    line += text;
    m_Queue.Put(std::move(line));
}

void CBaseLog::PutDirect(std::string line) { m_Queue.Put(std::move(line)); }

void CBaseLog::Pace(std::chrono::milliseconds limit) {
    // A log that is not being written (never opened, or closed) has no writer to wait for.
    if (m_Run.load() != 1 || m_Stalled.load()) return;
    const uint64_t high = m_Queue.Limit() / 4 * 3;
    if (m_Queue.Size() < high) return;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (m_Queue.Size() >= high) {
        if (std::chrono::steady_clock::now() >= deadline) {
            m_Stalled = true;
            return;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
}

DBString CBaseLog::DumpText(const wchar_t* title, const unsigned char* data, int length) {
    DBString text(title);
    AppendDump(text, data, length);
    return text;
}

void CBaseLog::PutFiltered(std::string line, size_t textAt, bool encoded) {
    if (!encoded) line = DBString::kBadUtf8;
    // Both daemon logs run the filter with a window of 0: it can hold nothing back, so its key is
    // not even built.
    if (m_Delay.IsOn() && !m_Delay.IsNeedToPut(encoded ? line.substr(textAt) : line)) return;
    m_Queue.Put(std::move(line));
}

void CBaseLog::PutMes(const wchar_t* title, const unsigned char* data, int length) {
    const std::wstring_view t = title ? std::wstring_view(title) : std::wstring_view();
    std::string line = StampedLine(t.size() + DumpSize(length));
    const size_t at = line.size();
    const bool encoded = DBString::AppendUtf8(t, line);
    if (encoded) AppendDump(line, data, length);
    PutFiltered(std::move(line), at, encoded);
}

void CBaseLog::PutMes(std::string_view title, const unsigned char* data, int length) {
    std::string line = StampedLine(title.size() + DumpSize(length));
    const size_t at = line.size();
    line += title;
    AppendDump(line, data, length);
    PutFiltered(std::move(line), at, true);
}

void CBaseLog::PutErr(const wchar_t* text, int error) {
    const DBString message = CnvErr(text, error);
    std::string line = StampedLine(message.size());
    const size_t at = line.size();
    const bool encoded = DBString::AppendUtf8(message, line);
    PutFiltered(std::move(line), at, encoded);
}

DBString CBaseLog::CnvErr(const wchar_t* text, int error) {
    DBString r(text);
    if (error == 0) return r;
    char buf[256];
    const char* msg = strerror_r(error, buf, sizeof buf);
    if (msg && *msg) {
        r.AppendFormat(L": %d - ", error);
        r += msg;
    } else {
        r.AppendFormat(L": %d - ?", error);
    }
    return r;
}

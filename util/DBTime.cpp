#include "util/DBTime.h"

#include <cstdio>
#include <ctime>

#include "util/Clock.h"

DBTime DBTime::CurDateTime() { return DBTime(Clock::Wall()); }

namespace {
// The log lines' form "dd.mm.yyyy hh:mm:ss " or the DNS log's "dd.mm.yyyy hh:mm.ss".
void AppendStamp(int64_t value, bool dnsForm, std::string& out) {
    if (value == 0) {
        out += dnsForm ? "00.00.0000 00:00.00" : "00.00.0000 00:00:00 ";
        return;
    }
    // Busy relays stamp many lines per second from many threads: localtime_r takes a process-wide
    // lock on every call, and formatting is the dearest part of a short line. So each thread keeps
    // the text of the last second it stamped, in each form.
    struct Last {
        int64_t value = 0;
        size_t len = 0;
        char text[48];
    };
    thread_local Last last[2];
    Last& l = last[dnsForm ? 1 : 0];
    if (l.value != value) {
        time_t t = static_cast<time_t>(value);
        struct tm tmv {};
        localtime_r(&t, &tmv);
        int n = std::snprintf(l.text, sizeof l.text, "%02d.%02d.%04d %02d:%02d%c%02d%s", tmv.tm_mday,
                              tmv.tm_mon + 1, tmv.tm_year + 1900, tmv.tm_hour, tmv.tm_min, dnsForm ? '.' : ':',
                              tmv.tm_sec, dnsForm ? "" : " ");
        l.len = n < 0 ? 0 : static_cast<size_t>(n);
        l.value = value;
    }
    out.append(l.text, l.len);
}
}  // namespace

std::string DBTime::DatTimStr() const {
    std::string text;
    AppendDatTimStr(text);
    return text;
}
std::string DBTime::DatTimForLog() const {
    std::string text;
    AppendDatTimForLog(text);
    return text;
}
void DBTime::AppendDatTimStr(std::string& out) const { AppendStamp(m_Time, false, out); }
void DBTime::AppendDatTimForLog(std::string& out) const { AppendStamp(m_Time, true, out); }

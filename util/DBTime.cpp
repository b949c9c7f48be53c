#include "util/DBTime.h"

#include <cstdio>
#include <ctime>

DBTime DBTime::CurDateTime() { return DBTime(static_cast<int64_t>(std::time(nullptr))); }

namespace {
std::string Stamp(int64_t value, char minuteSecondSep, bool trailingBlank) {
    if (value == 0)
        return std::string("00.00.0000 00:00") + minuteSecondSep + "00" + (trailingBlank ? " " : "");
    // Busy relays stamp many lines per second from many threads; localtime_r takes a process-wide
    // lock on every call, so each thread keeps the broken-down time of the last second it stamped.
    thread_local int64_t lastValue = 0;
    thread_local struct tm lastTm {};
    if (value != lastValue) {
        time_t t = static_cast<time_t>(value);
        localtime_r(&t, &lastTm);
        lastValue = value;
    }
    const struct tm& tmv = lastTm;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%02d.%02d.%04d %02d:%02d%c%02d%s", tmv.tm_mday, tmv.tm_mon + 1,
                  tmv.tm_year + 1900, tmv.tm_hour, tmv.tm_min, minuteSecondSep, tmv.tm_sec,
                  trailingBlank ? " " : "");
    return buf;
}
}  // namespace

DBString DBTime::DatTimString() const { return DBString(Stamp(m_Time, ':', true)); }
std::string DBTime::DatTimStr() const { return Stamp(m_Time, ':', true); }
std::string DBTime::DatTimForLog() const { return Stamp(m_Time, '.', false); }

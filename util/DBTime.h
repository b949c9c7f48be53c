#pragma once
// A point in time in whole seconds since 1970; 0 means "not set" and has fixed texts of its own.
#include <cstdint>
#include <string>

class DBTime {
public:
    DBTime() = default;
    explicit DBTime(int64_t seconds) : m_Time(seconds) {}

    static DBTime CurDateTime();

    std::string DatTimStr() const;     // "dd.mm.yyyy hh:mm:ss "
    std::string DatTimForLog() const;  // "dd.mm.yyyy hh:mm.ss", for the DNS log
    // The narrow forms written behind what out holds: a line built in one string.
    void AppendDatTimStr(std::string& out) const;
    void AppendDatTimForLog(std::string& out) const;

    int64_t Seconds() const { return m_Time; }

private:
    int64_t m_Time = 0;
};

#pragma once
// A point in time in whole seconds since 1970; 0 means "not set" and has fixed texts of its own.
#include <cstdint>
#include <string>

#include "util/DBString.h"

class DBTime {
public:
    DBTime() = default;
    explicit DBTime(int64_t seconds) : m_Time(seconds) {}

    static DBTime CurDateTime();

    DBString DatTimString() const;     // "dd.mm.yyyy hh:mm:ss " (wide)
    std::string DatTimStr() const;     // the same, narrow
    std::string DatTimForLog() const;  // "dd.mm.yyyy hh:mm.ss", for the DNS log
    // The narrow forms written behind what out holds: a line built in one string.
    void AppendDatTimStr(std::string& out) const;
    void AppendDatTimForLog(std::string& out) const;

    int64_t Seconds() const { return m_Time; }

private:
    int64_t m_Time = 0;
};

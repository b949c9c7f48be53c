#pragma once
// The clients one rule turned away because their source is outside its Allow list. A rule on a
// public address sees scans and floods from everywhere: each refusal is only counted, and the
// count since the last line is written at most once a second ("UDPv4 05300 12 datagrams dropped:
// source not in Allow"). The first refusal after a quiet second gets its line at once, so that an
// operator testing a list sees it work. The receive or accept loop counts; the periodic sweep and
// the stop write what a flood that stopped left unwritten. Nothing is allocated per refusal.
#include <atomic>
#include <cstdint>
#include <mutex>

#include "util/Clock.h"
#include "util/DBString.h"
#include "util/LineGate.h"

class Refusals {
public:
    // What a rule's refusals are, for its line.
    static constexpr const wchar_t* kConnections = L"connections closed: source not in Allow";
    static constexpr const wchar_t* kDatagrams = L"datagrams dropped: source not in Allow";
    static constexpr const wchar_t* kQueries = L"queries dropped: source not in Allow";

    // A client refused now: the count to write on a line now, 0 when no line is due.
    uint64_t Add() {
        m_Total.fetch_add(1, std::memory_order_relaxed);
        std::lock_guard<std::mutex> lock(m_Mutex);
        const int64_t now = Clock::Now();
        m_Lines.Own(now);
        return m_Lines.Due(now);
    }

    // The count not yet written, when a line is due now (or always with force); 0: none to write.
    uint64_t Due(bool force = false) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_Lines.Due(Clock::Now(), force);
    }

    // Refusals since start, for Status.
    uint64_t Total() const { return m_Total.load(std::memory_order_relaxed); }

    // "UDPv4 05300 12 datagrams dropped: source not in Allow": name is the rule's as its other
    // lines give it, what one of the texts above.
    static DBString Line(const DBString& name, uint64_t n, const wchar_t* what) {
        return DBString().Format(L"%ls %llu %ls", name.c_str(), static_cast<unsigned long long>(n), what);
    }

private:
    std::atomic<uint64_t> m_Total{0};
    std::mutex m_Mutex;
    LineGate m_Lines{0};
};

#pragma once
#include "log/CBaseLog.h"

// The DNS datagram log (directory "dns" below the log root).
class CDNSLog : public CBaseLog {
public:
    using CBaseLog::CBaseLog;
    ~CDNSLog() override = default;
    DBString Dir() override;
};

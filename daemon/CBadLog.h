#pragma once
#include "log/CBaseLog.h"

// The daemon's general log: every subsystem's lines go here (directory "bad" below the log root).
class CBadLog : public CBaseLog {
public:
    using CBaseLog::CBaseLog;
    ~CBadLog() override = default;
    DBString Dir() override;
};

#pragma once
#include "config/CProxyCFG.h"

// The daemon's configuration: reports of its nodes go to the main log.
class CConfigProxy : public CProxyCFG {
public:
    void BadPut(const wchar_t* text) override;
    void BadPutErr(const wchar_t* text, int code) override;
};

#pragma once
// The program's one exception type: a text and a code (a system error number, a resolver code or
// 0). Configuration code raises it; the network code uses it to carry a failing step to the single
// place that logs it.
#include "util/DBString.h"

class ErrorXML {
public:
    ErrorXML(const wchar_t* text, int code);

    DBString m_Text;
    int m_Code = 0;
};

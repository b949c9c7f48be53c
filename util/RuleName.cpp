#include "util/RuleName.h"

const wchar_t* RuleKindText(RuleKind kind) {
    static constexpr const wchar_t* kText[] = {L"UDPv4", L"TCPv4", L"UDPv6", L"TCPv6", L"DNS", L"CloudRM7", L"DNSTCP"};
    return kText[static_cast<int>(kind)];
}

DBString RuleName(RuleKind kind, int port) {
    return DBString().Format(L"%ls %05d", RuleKindText(kind), port);
}

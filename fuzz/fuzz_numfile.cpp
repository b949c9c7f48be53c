// The file number a log reads from a directory entry's name; the log continues from the largest one
// (plus one when it rotates), so every number it accepts must leave room for the next.
#include <climits>
#include <cstdlib>
#include <string>

#include "fuzz/FuzzUtil.h"
#include "log/CBaseLog.h"

namespace {
class FuzzLog : public CBaseLog {
public:
    FuzzLog() : CBaseLog(1000, 0) {}
    DBString Dir() override { return DBString(s_Dir.c_str()); }
    static std::string s_Dir;
};
std::string FuzzLog::s_Dir;
FuzzLog* g_Log = nullptr;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char tmpl[] = "/tmp/vexafuzz-log-XXXXXX";
    if (!mkdtemp(tmpl)) std::abort();
    FuzzLog::s_Dir = tmpl;
    g_Log = new FuzzLog;
    g_Log->Open("C", "log");
    g_Log->Close();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string name(reinterpret_cast<const char*>(data), size);
    name = name.c_str();  // directory entry names end at their first zero byte
    int n = g_Log->NumFile(name.c_str());
    FUZZ_CHECK(n < INT_MAX);
    if (n > 0) FUZZ_CHECK(name[0] == 'C' && std::strtoll(name.c_str() + 1, nullptr, 10) == n);
    (void)g_Log->NameFile(n < 0 ? 1 : n + 1).ToStr();
    return 0;
}

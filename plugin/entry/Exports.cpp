// The exported lister functions. Every export catches every failure and answers the
// interface's failure result: nothing may escape into the host.
#include "archive/ArchiveLibrary.h"
#include "plugin/ListerApi.h"
#include "shell/Strings.h"

#include <cstring>

using namespace kv;

extern "C" {

void __stdcall ListSetDefaultParams(ListDefaultParamStruct* dps)
{
    try {
        if (dps == nullptr)
            return;
        const size_t length = strnlen(dps->DefaultIniName, MAX_PATH);
        SetHostIniFileName(AnsiToWide(std::string_view(dps->DefaultIniName, length)));
    } catch (...) {
    }
}

void __stdcall ListGetDetectString(char* detectString, int maxlen)
{
    try {
        if (detectString == nullptr || maxlen <= 0)
            return;
        if (maxlen >= static_cast<int>(sizeof(DetectString)))
            std::memcpy(detectString, DetectString, sizeof(DetectString));
        else
            detectString[0] = '\0';
    } catch (...) {
    }
}

} // extern "C"

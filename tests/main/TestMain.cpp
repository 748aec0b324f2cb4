// The test programs' main. Whatever goes wrong ends the program with a report on stderr that
// names the running test: a crash, abort, std::terminate (an escaped exception, a joinable
// thread destroyed) or a test that runs past its time limit. Nothing may leave a program
// waiting on a message box or a debugger, where ctest or a stress loop would only see a hang.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

namespace {

constexpr UINT FatalExitCode = 3;
constexpr ULONGLONG DefaultTimeLimitSeconds = 90;

// The running test, for reports from any thread. The name is written only while no start time
// is set, so a reader that sees a start time sees a whole name.
char runningTest[512];
std::atomic<ULONGLONG> testStartedAt{0};  // GetTickCount64() at its start; 0 between tests

ULONGLONG TimeLimitMs()
{
    const char* setting = std::getenv("KV_TEST_TIME_LIMIT");
    const long seconds = setting != nullptr ? std::atol(setting) : 0;
    return (seconds > 0 ? static_cast<ULONGLONG>(seconds) : DefaultTimeLimitSeconds) * 1000;
}

// A line built without the heap or the C library's stream locks: the failing thread may hold
// either.
class Report {
public:
    Report& operator<<(const char* text)
    {
        const size_t room = sizeof(text_) - 1 - length_;
        const size_t count = std::min(std::strlen(text), room);
        std::memcpy(text_ + length_, text, count);
        length_ += count;
        return *this;
    }
    Report& Hex(ULONG_PTR value, size_t bytes = sizeof(ULONG_PTR))
    {
        char digits[2 + 2 * sizeof(value) + 1] = "0x";
        for (size_t i = 0; i < 2 * bytes; ++i)
            digits[2 + i] = "0123456789abcdef"[(value >> (4 * (2 * bytes - 1 - i))) & 0xF];
        return *this << digits;
    }

    // Writes the line, gives the buffered test output a moment to follow it, and ends the
    // process without running anything else of it.
    [[noreturn]] void AndExit()
    {
        *this << (testStartedAt.load() != 0 ? runningTest : "(between tests)") << "\n";
        DWORD written = 0;
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), text_, static_cast<DWORD>(length_), &written,
                  nullptr);
        // Flushed on a thread of its own: the stream's lock may be held by the thread that hangs.
        if (HANDLE flusher = CreateThread(nullptr, 0, &FlushStandardOutput, nullptr, 0, nullptr))
            WaitForSingleObject(flusher, 1000);
        TerminateProcess(GetCurrentProcess(), FatalExitCode);
        for (;;)
            Sleep(INFINITE);
    }

private:
    static DWORD WINAPI FlushStandardOutput(void*)
    {
        std::fflush(stdout);
        return 0;
    }

    char text_[1024] = "\n[  FATAL   ] ";
    size_t length_ = std::strlen(text_);
};

[[noreturn]] void OnTerminate()
{
    Report report;
    report << "std::terminate: ";
    if (const std::exception_ptr escaped = std::current_exception()) {
        try {
            std::rethrow_exception(escaped);
        } catch (const std::exception& exception) {
            report << "uncaught exception \"" << exception.what() << "\"";
        } catch (...) {
            report << "uncaught exception of an unknown type";
        }
    } else {
        report << "no exception (a joinable std::thread destroyed?)";
    }
    report << " in ";
    report.AndExit();
}

void OnAbort(int)
{
    Report report;
    report << "abort() in ";
    report.AndExit();
}

void OnInvalidParameter(const wchar_t*, const wchar_t*, const wchar_t*, unsigned, uintptr_t)
{
    Report report;
    report << "invalid parameter to a C library function in ";
    report.AndExit();
}

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* info)
{
    Report report;
    report << "unhandled exception ";
    report.Hex(info->ExceptionRecord->ExceptionCode, sizeof(DWORD)) << " at ";
    report.Hex(reinterpret_cast<ULONG_PTR>(info->ExceptionRecord->ExceptionAddress));
    HMODULE module = nullptr;
    char name[MAX_PATH] = "";
    if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                               GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           static_cast<LPCSTR>(info->ExceptionRecord->ExceptionAddress), &module) &&
        GetModuleFileNameA(module, name, sizeof(name)) != 0) {
        report << " (" << name << " + ";
        report.Hex(reinterpret_cast<ULONG_PTR>(info->ExceptionRecord->ExceptionAddress) -
                   reinterpret_cast<ULONG_PTR>(module))
            << ")";
    }
    report << " in ";
    report.AndExit();
}

DWORD WINAPI Watchdog(void*)
{
    const ULONGLONG limit = TimeLimitMs();
    for (;;) {
        Sleep(500);
        const ULONGLONG started = testStartedAt.load();
        if (started != 0 && GetTickCount64() - started > limit) {
            Report report;
            char seconds[32];
            std::snprintf(seconds, sizeof(seconds), "%llu", limit / 1000);
            report << "timed out after " << seconds << " s: ";
            report.AndExit();
        }
    }
}

class TestClock : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo& test) override
    {
        testStartedAt = 0;
        std::snprintf(runningTest, sizeof(runningTest), "%s.%s", test.test_suite_name(),
                      test.name());
        testStartedAt = GetTickCount64();
    }
    void OnTestEnd(const testing::TestInfo&) override { testStartedAt = 0; }
};

void ReportEveryFailure()
{
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    // Not in every C library's import list; where it exists it stops the abort message box.
    using SetAbortBehavior = unsigned(__cdecl*)(unsigned, unsigned);
    if (HMODULE crt = GetModuleHandleW(L"msvcrt.dll")) {
        if (auto set = reinterpret_cast<SetAbortBehavior>(
                reinterpret_cast<void*>(GetProcAddress(crt, "_set_abort_behavior"))))
            set(0, _WRITE_ABORT_MSG | _CALL_REPORTFAULT);
    }
    std::signal(SIGABRT, &OnAbort);
    _set_invalid_parameter_handler(&OnInvalidParameter);
    std::set_terminate(&OnTerminate);
    SetUnhandledExceptionFilter(&OnUnhandledException);
}

} // namespace

int main(int argc, char** argv)
{
    ReportEveryFailure();
    testing::InitGoogleTest(&argc, argv);
    testing::UnitTest::GetInstance()->listeners().Append(new TestClock);
    if (HANDLE watchdog = CreateThread(nullptr, 0, &Watchdog, nullptr, 0, nullptr))
        CloseHandle(watchdog);
    return RUN_ALL_TESTS();
}

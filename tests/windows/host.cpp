// A Windows host of tivlo.dll that checks what the loader sees: the export
// table by name and by ordinal, and the selection rules of drive paths.
// Transfers between Windows and Linux run with the programs themselves
// (scripts/windows-test.sh).
//
//   tivlo_host exports
//
// The run ends with a line "TIVLO-HOST PASS ..." or "TIVLO-HOST FAIL ...":
// under Wine a program that cannot start may still exit 0, so the caller
// looks for the line.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "tivlo/tivlo.h"

namespace {

int Fail(const char* what) {
    std::printf("TIVLO-HOST FAIL %s\n", what);
    std::fflush(stdout);
    return 1;
}

std::string Utf8(const std::u16string& text) {
    std::wstring w(text.begin(), text.end());
    int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string s(n > 0 ? n - 1 : 0, '\0');
    if (n > 1) WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, s.data(), n, nullptr, nullptr);
    return s;
}

// The thirteen names with ordinals 1 to 13 in alphabetical order, resolved
// by the loader both ways to the same functions; and the selection rules of
// drive paths, which need no network.
int RunExports() {
    static const char* const kNames[] = {"DeInitClient", "DeInitServer",   "GetErrInfo",    "GetIsHasInvalidChar",
                                         "InitClient",   "InitServer",     "SetSelectFiles", "SetSubDirTrans",
                                         "SetTargetPath", "StartReceive",  "StartSend",     "StopReceive",
                                         "StopSend"};
    HMODULE dll = GetModuleHandleW(L"tivlo.dll");
    if (dll == nullptr) return Fail("tivlo.dll not loaded");
    for (int i = 0; i < 13; ++i) {
        if (i > 0 && std::strcmp(kNames[i - 1], kNames[i]) >= 0) return Fail("names out of order");
        FARPROC byName = GetProcAddress(dll, kNames[i]);
        FARPROC byOrdinal = GetProcAddress(dll, MAKEINTRESOURCEA(i + 1));
        if (byName == nullptr || byName != byOrdinal) {
            std::printf("export %s ordinal %d: %p %p\n", kNames[i], i + 1, reinterpret_cast<void*>(byName),
                        reinterpret_cast<void*>(byOrdinal));
            return Fail("export table");
        }
    }
    struct Case {
        const char16_t* path;
        int result;
    };
    // The checks that come before the file system is looked at.
    const Case cases[] = {{u"C:", 3}, {u"\\\\server\\share", 4}, {u"/tmp/x", 4}, {u"C:\\a/b", 5},
                          {u"C:\\x:y", 5}, {u"C:\\a*b", 5}, {u"C:\\a|b", 5}};
    for (const Case& c : cases) {
        const char16_t* items[] = {c.path};
        TivloStringArray array{1, items};
        int got = SetSelectFiles(&array);
        if (got != c.result) {
            std::printf("SetSelectFiles(%s) = %d, want %d\n", Utf8(c.path).c_str(), got, c.result);
            return Fail("selection rules");
        }
    }
    if (StopReceive() != 1 || GetIsHasInvalidChar() != 0) return Fail("trivial exports");
    std::printf("TIVLO-HOST PASS exports\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc == 2 && std::strcmp(argv[1], "exports") == 0) return RunExports();
    std::fprintf(stderr, "usage: tivlo_host exports\n");
    return Fail("usage");
}

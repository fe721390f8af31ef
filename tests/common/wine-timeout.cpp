// A stand-in for Windows' timeout.exe, which every Windows since Vista has and Wine 8 lacks; the
// delayed-start batch file runs "timeout /t 1 /nobreak >nul". scripts/windows-test puts it into
// the Wine prefix's system32. It waits the given seconds (a key cannot cut the wait short here,
// as with /nobreak) and ignores everything else.

#include <windows.h>

#include <cstdlib>
#include <cstring>

int main(int argc, char **argv)
{
    long seconds = 0;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "/t") == 0 || std::strcmp(argv[i], "/T") == 0)
            seconds = std::strtol(argv[i + 1], nullptr, 10);
    }
    if (seconds > 0)
        Sleep(static_cast<DWORD>(seconds) * 1000);
    return 0;
}

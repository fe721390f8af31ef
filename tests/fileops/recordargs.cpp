// A stand-in for the host program and the update helper: writes its arguments, one per line, to
// the file named by RECORDARGS_OUT. The lines go to a ".part" file first and are renamed into
// place, so a test that sees the file sees all of it. RECORDARGS_SLEEP_MS makes it wait first,
// as a program that runs for a while. Plain C++, so the binary can be copied into a test
// installation under another name.
//
// On Windows the arguments are read as the wide command line and written as UTF-8, the name of
// the program that started this one (cmd.exe after a delayed start) goes to RECORDARGS_OUT +
// ".parent", written before the arguments, and a "*" in RECORDARGS_OUT stands for the program's
// own name without ".exe", so that copies named host.exe and helper.exe record apart. With
// RECORDARGS_APPEND set, every start adds a line "started" and its arguments to what the file
// holds, so that a test can count the starts of a program that gets no arguments.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>

#include <shellapi.h>
#include <tlhelp32.h>

namespace {

std::string utf8(const std::wstring &text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), result.data(), size, nullptr, nullptr);
    return result;
}

// The executable name of the parent process, or an empty string.
std::wstring parentName()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return std::wstring();
    std::vector<PROCESSENTRY32W> processes;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
        processes.push_back(entry);
    CloseHandle(snapshot);
    DWORD parent = 0;
    for (const PROCESSENTRY32W &process : processes) {
        if (process.th32ProcessID == GetCurrentProcessId())
            parent = process.th32ParentProcessID;
    }
    for (const PROCESSENTRY32W &process : processes) {
        if (parent != 0 && process.th32ProcessID == parent)
            return process.szExeFile;
    }
    return std::wstring();
}

std::string readFile(const std::wstring &path)
{
    std::string content;
    if (std::FILE *file = _wfopen(path.c_str(), L"rb")) {
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
            content.append(buffer, n);
        std::fclose(file);
    }
    return content;
}

bool writeFile(const std::wstring &path, const std::string &content)
{
    const std::wstring part = path + L".part";
    std::FILE *file = _wfopen(part.c_str(), L"wb");
    if (!file)
        return false;
    std::fwrite(content.data(), 1, content.size(), file);
    if (std::fclose(file) != 0)
        return false;
    return MoveFileExW(part.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

} // namespace

int main()
{
    const wchar_t *variable = _wgetenv(L"RECORDARGS_OUT");
    if (!variable || !*variable)
        return 2;
    std::wstring out = variable;
    if (const std::size_t star = out.find(L'*'); star != std::wstring::npos) {
        wchar_t self[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        std::wstring name = self;
        name = name.substr(name.find_last_of(L"\\/") + 1);
        name = name.substr(0, name.rfind(L'.'));
        out.replace(star, 1, name);
    }
    if (const char *sleepMs = std::getenv("RECORDARGS_SLEEP_MS"))
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(sleepMs)));

    if (!writeFile(out + L".parent", utf8(parentName()) + '\n'))
        return 3;
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::string lines = std::getenv("RECORDARGS_APPEND") ? readFile(out) + "started\n" : std::string();
    for (int i = 1; argv && i < argc; ++i)
        lines += utf8(argv[i]) + '\n';
    LocalFree(argv);
    return writeFile(out, lines) ? 0 : 4;
}

#else

int main(int argc, char **argv)
{
    const char *out = std::getenv("RECORDARGS_OUT");
    if (!out || !*out)
        return 2;
    if (const char *sleepMs = std::getenv("RECORDARGS_SLEEP_MS"))
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(sleepMs)));

    const std::string part = std::string(out) + ".part";
    std::FILE *file = std::fopen(part.c_str(), "wb");
    if (!file)
        return 3;
    for (int i = 1; i < argc; ++i) {
        std::fputs(argv[i], file);
        std::fputc('\n', file);
    }
    if (std::fclose(file) != 0)
        return 4;
    return std::rename(part.c_str(), out) == 0 ? 0 : 5;
}

#endif

// A stand-in for the host program and the update helper: writes its arguments, one per line, to
// the file named by RECORDARGS_OUT. The lines go to a ".part" file first and are renamed into
// place, so a test that sees the file sees all of it. RECORDARGS_SLEEP_MS makes it wait first,
// as a program that runs for a while. Plain C++, so the binary can be copied into a test
// installation under another name.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

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

// Exits 0 when this Windows reads the code page given, else 77 (skipped)
// with a line why: Wine 8 lacks some that Windows has (54936, GB18030), and
// the tests of mail in such a charset are skipped there rather than failed.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: code_page NUMBER\n");
        return 2;
    }
    const auto page = static_cast<UINT>(std::strtoul(argv[1], nullptr, 10));
    if (IsValidCodePage(page)) return 0;
    std::printf("skipped: this system has no code page %u, which the test needs\n", page);
    return 77;
}

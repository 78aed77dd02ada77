// The C library's error texts through error_text.cpp, whichever strerror_r
// the C library declares. Built three ways by tools/checks/55-arm64.sh:
//   PELVAR_EXPECT_STRERROR_R=1  the XSI one (int, fills the buffer): musl, or
//                               glibc without _GNU_SOURCE
//   PELVAR_EXPECT_STRERROR_R=2  the GNU one (returns the text): glibc, g++'s default
// Each message must be the one that strerror() gives for the same number, so
// the text in "<text> (os error N)" never depends on which variant was chosen.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <type_traits>
#include <utility>

#include "error_text.hpp"

#ifndef PELVAR_EXPECT_STRERROR_R
#error "define PELVAR_EXPECT_STRERROR_R as 1 (XSI) or 2 (GNU)"
#endif

using StrerrorResult = decltype(::strerror_r(0, std::declval<char*>(), 0));
#if PELVAR_EXPECT_STRERROR_R == 1
static_assert(std::is_same_v<StrerrorResult, int>, "expected the XSI strerror_r");
constexpr const char* variant = "XSI";
#else
static_assert(std::is_same_v<StrerrorResult, char*>, "expected the GNU strerror_r");
constexpr const char* variant = "GNU";
#endif

namespace {

int failures = 0;

void expect_equal(const std::string& got, const std::string& expected, const char* what) {
    if (got != expected) {
        std::fprintf(stderr, "FAIL %s: got \"%s\", expected \"%s\"\n", what, got.c_str(), expected.c_str());
        ++failures;
    }
}

}  // namespace

int main() {
    // Numbers that reach users through open() and read(), and some the C
    // library does not know (their text is the library's own as well).
    const int numbers[] = {ENOENT, EACCES, EISDIR, EIO, EINTR, ENOSPC, EBADF, ENXIO, ENOTDIR, 0, 4095, 99999, -1};
    for (int number : numbers) {
        const std::string library_text = std::strerror(number);
        const std::string label = "errno " + std::to_string(number);
        expect_equal(pelvar::system_error_text(number), library_text, label.c_str());
        expect_equal(pelvar::os_error_text(number),
                     library_text + " (os error " + std::to_string(number) + ")", label.c_str());
    }
    expect_equal(pelvar::end_of_file_text, "failed to fill whole buffer", "end of file");
    // A known number has a real text, not the fallback.
    if (pelvar::system_error_text(ENOENT).rfind("Unknown error", 0) == 0) {
        std::fprintf(stderr, "FAIL ENOENT has no text\n");
        ++failures;
    }
    std::printf("strerror_r (%s): ENOENT -> \"%s\", EIO -> \"%s\", 99999 -> \"%s\"%s\n", variant,
                pelvar::system_error_text(ENOENT).c_str(), pelvar::system_error_text(EIO).c_str(),
                pelvar::system_error_text(99999).c_str(), failures == 0 ? "" : " -- FAILED");
    return failures == 0 ? 0 : 1;
}

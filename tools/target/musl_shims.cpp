// Links tools/target/strerror_check.cpp as a static musl program. Debian has
// no musl C++ library, so the check takes Debian's libstdc++.a, which was
// built against glibc and names three glibc symbols that musl lacks. None of
// them is reached by the check: libstdc++ reads the first as "is the process
// single-threaded", the unwinder falls back to dl_iterate_phdr when the
// second fails, and the third backs std::random_device only.
#include <cstdlib>

extern "C" {
char __libc_single_threaded = 0;

struct dl_find_object;
int _dl_find_object(void*, dl_find_object*) { return -1; }

unsigned arc4random(void) { std::abort(); }
}

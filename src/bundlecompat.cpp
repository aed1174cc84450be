// What the static archives of a self-contained build need from the C
// library beyond what the oldest systems the wheel is meant for provide.
// Built only with TOLVEX_BUNDLE_LIBCURL; everything here is hidden.
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>

extern "C" {

[[noreturn]] void __chk_fail();

// The fortified memset_explicit of glibc 2.43, which libcurl's archive
// calls: the check of the destination's size, then a memset the compiler
// may not drop.
__attribute__((visibility("hidden"))) void *__memset_explicit_chk(void *dest, int c, size_t n,
                                                                  size_t destlen) {
    if (destlen < n)
        __chk_fail();
    std::memset(dest, c, n);
    __asm__ volatile("" : : "r"(dest) : "memory");
    return dest;
}

// The linker makes every reference to stderr in the extension refer to this
// copy (see cmake/bundle.cmake), so the C library's own is found by name.
__attribute__((visibility("hidden"))) FILE *tolvex_stderr;

__attribute__((constructor)) static void copy_stderr() {
    if (void *libc_stderr = dlsym(RTLD_DEFAULT, "stderr"))
        tolvex_stderr = *static_cast<FILE **>(libc_stderr);
}
}

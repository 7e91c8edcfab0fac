// A program built as the device programs are, to show their stack
// protector at work: prints the canary where the program keeps its own
// (32-bit ARM) or "libc" where the C library keeps it; with "overflow", runs
// a copy past the end of a local array, which the check at the function's
// return must catch.

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#ifdef HOUSE_OWN_STACK_GUARD
extern "C" uintptr_t __stack_chk_guard;
#endif

// The copy goes byte by byte through a volatile pointer, so neither the
// compiler nor the fortified C library stops it before the canary does.
__attribute__((noinline)) static int copy_into_small(const char *text, size_t n)
{
    char small[8];
    volatile char *to = small;
    for (size_t i = 0; i < n; i++)
        to[i] = text[i];
    return small[0];
}

int main(int argc, char **argv)
{
#ifdef HOUSE_OWN_STACK_GUARD
    printf("%08lx\n", (unsigned long)__stack_chk_guard);
#else
    printf("libc\n");
#endif
    fflush(stdout);
    if (argc > 1 && strcmp(argv[1], "overflow") == 0) {
        static const char text[64] = "0123456789abcdefghijklmnopqrstuvwxyz0123456789abcdefghijklmnopq";
        return copy_into_small(text, sizeof text) == 0;
    }
    return 0;
}

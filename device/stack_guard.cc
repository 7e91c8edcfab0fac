// The stack protector's canary, for a C library that keeps its own in the
// dynamic loader (32-bit ARM glibc): taking it from there would add the
// loader to the program's NEEDED list. The program keeps a canary of its
// own, hidden so the C library never binds to it, and sets it from the
// kernel's random bytes before main, as the loader does for its own.

#include <stdint.h>
#include <string.h>
#include <sys/auxv.h>

extern "C" {
__attribute__((visibility("hidden"))) uintptr_t __stack_chk_guard;
}

// Runs before any function of the program that checks the canary; it holds
// no array, so it carries no check itself.
__attribute__((constructor(101), no_stack_protector)) static void set_stack_guard(void)
{
    const void *random = (const void *)getauxval(AT_RANDOM);
    uintptr_t guard = 0;

    if (random != NULL)
        memcpy(&guard, random, sizeof guard);
    // A zero low byte stops a string copy that runs over the canary, as the
    // loader's own canary does.
    guard &= ~(uintptr_t)0xff;
    __stack_chk_guard = guard;
}

/* Preloaded into discovery-daemon by a test: each bind to the discovery
 * port waits HOUSE_BIND_DELAY_MS first, as on a slow start of the probe
 * loop (a Hello must still go out only once the daemon can answer it), and
 * each look at the interfaces HOUSE_GETIFADDRS_DELAY_MS (nothing may leave
 * after the Bye, however long a Hello takes).
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <time.h>

static void wait_ms(const char *delay)
{
    long ms = delay ? atol(delay) : 0;
    struct timespec wait = { ms / 1000, (ms % 1000) * 1000000 };
    nanosleep(&wait, NULL);
}

int getifaddrs(struct ifaddrs **list)
{
    static int (*real)(struct ifaddrs **);
    if (!real)
        real = (int (*)(struct ifaddrs **))dlsym(RTLD_NEXT, "getifaddrs");
    wait_ms(getenv("HOUSE_GETIFADDRS_DELAY_MS"));
    return real(list);
}

int bind(int fd, const struct sockaddr *addr, socklen_t len)
{
    static int (*real)(int, const struct sockaddr *, socklen_t);
    if (!real)
        real = (int (*)(int, const struct sockaddr *, socklen_t))dlsym(RTLD_NEXT, "bind");
    const char *delay = getenv("HOUSE_BIND_DELAY_MS");
    if (delay && addr->sa_family == AF_INET && len >= sizeof(struct sockaddr_in) &&
        ((const struct sockaddr_in *)addr)->sin_port == htons(3702))
        wait_ms(delay);
    return real(fd, addr, len);
}

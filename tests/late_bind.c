/* Preloaded into discovery-daemon by a test: each bind to the discovery
 * port waits HOUSE_BIND_DELAY_MS first, as on a slow start of the probe
 * loop. A Hello must still go out only once the daemon can answer it.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <time.h>

int bind(int fd, const struct sockaddr *addr, socklen_t len)
{
    static int (*real)(int, const struct sockaddr *, socklen_t);
    if (!real)
        real = (int (*)(int, const struct sockaddr *, socklen_t))dlsym(RTLD_NEXT, "bind");
    const char *delay = getenv("HOUSE_BIND_DELAY_MS");
    if (delay && addr->sa_family == AF_INET && len >= sizeof(struct sockaddr_in) &&
        ((const struct sockaddr_in *)addr)->sin_port == htons(3702)) {
        long ms = atol(delay);
        struct timespec wait = { ms / 1000, (ms % 1000) * 1000000 };
        nanosleep(&wait, NULL);
    }
    return real(fd, addr, len);
}

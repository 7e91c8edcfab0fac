// discovery-daemon: makes the device discoverable by ONVIF clients. It
// hosts the discovery library's hello and probe loops in two threads and
// has the library say Bye when it is told to stop.
//
// Signals: SIGHUP has the library announce the device again; SIGINT,
// SIGQUIT, SIGTERM and SIGUSR1 stop the daemon; SIGPIPE is ignored.

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "kzcommon.h"
#include "kzlog.h"
#include "server_socket.h"
#include "shared_variables.h"

enum { HELLO_THREAD, PROBE_THREAD, WORKER_COUNT };

static const int log_option = 2;
static const int log_level_info = 6;

static pthread_t worker_threads[WORKER_COUNT];
// Whether each worker may still be cancelled: set before it starts, cleared
// when its loop returns by itself or when it is cancelled. A thread is
// joined only after it has cleared its flag, so the stop never cancels a
// thread that was already joined, nor one twice.
static int worker_running[WORKER_COUNT];
static pthread_mutex_t worker_lock = PTHREAD_MUTEX_INITIALIZER;

// The signal handler only writes the signal number here; the stop thread
// does the work, outside signal context. A stop that arrives before the
// workers exist waits in the pipe until they do.
static int stop_pipe[2] = { -1, -1 };

static int hello_socket = -1;

static void on_signal(int signo)
{
    if (signo == SIGHUP) {
        server_hello = 1;
        return;
    }
    int saved_errno = errno;
    unsigned char byte = (unsigned char)signo;
    // Non-blocking: when the pipe is full, a stop is already on its way.
    if (write(stop_pipe[1], &byte, 1) < 0) {
    }
    errno = saved_errno;
}

static void worker_ended(int worker)
{
    pthread_mutex_lock(&worker_lock);
    worker_running[worker] = 0;
    pthread_mutex_unlock(&worker_lock);
}

static void *hello_main(void *)
{
    udp_hello(hello_socket);
    worker_ended(HELLO_THREAD);
    return NULL;
}

static void *probe_main(void *)
{
    udp_probe(open_server_socket);
    worker_ended(PROBE_THREAD);
    return NULL;
}

// Waits for the first terminating signal: Bye once, then the hello loop
// and the probe loop are cancelled. Later signals find nothing to do.
static void *stop_main(void *)
{
    unsigned char signo;
    while (read(stop_pipe[0], &signo, 1) != 1) {
    }
    ByeHandler(signo);
    pthread_mutex_lock(&worker_lock);
    for (int i = 0; i < WORKER_COUNT; i++) {
        if (worker_running[i])
            pthread_cancel(worker_threads[i]);
        worker_running[i] = 0;
    }
    pthread_mutex_unlock(&worker_lock);
    return NULL;
}

static void start_thread(pthread_t *thread, void *(*body)(void *), int *running,
                         const char *failure)
{
    if (running)
        *running = 1;
    if (pthread_create(thread, NULL, body, NULL) != 0)
        kzerror(1, 0, failure);
}

static void install_signals(void)
{
    static const int handled[] = { SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1 };
    struct sigaction action;

    if (pipe2(stop_pipe, O_CLOEXEC) != 0)
        kzerror(1, errno, "stop pipe creation failed");
    fcntl(stop_pipe[1], F_SETFL, O_NONBLOCK);

    memset(&action, 0, sizeof action);
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    signal(SIGPIPE, SIG_IGN);
    for (int signo : handled)
        xsigaction(signo, &action);
}

int main(int, char **argv)
{
    onvif_log_input = 0;
    onvif_log_output = 0;
    kzlog_open(basename(argv[0]), log_option);
    kzlog(log_level_info, "start");

    install_signals();
    if (daemon(0, 0) != 0)
        kzerror(1, errno, "daemon failed");

    // Handed to the hello loop as it is, -1 included.
    hello_socket = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    start_thread(&worker_threads[HELLO_THREAD], hello_main, &worker_running[HELLO_THREAD],
                 "Hello thread creation failed");
    start_thread(&worker_threads[PROBE_THREAD], probe_main, &worker_running[PROBE_THREAD],
                 "Probe thread creation failed");
    pthread_t stop_thread;
    start_thread(&stop_thread, stop_main, NULL, "Stop thread creation failed");

    pthread_join(worker_threads[HELLO_THREAD], NULL);
    pthread_join(worker_threads[PROBE_THREAD], NULL);

    kzlog(log_level_info, "exit");
    kzlog_close();
    exit(0);
}

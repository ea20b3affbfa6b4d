/* Times a program's start-up on an X display: from the fork that execs it to the server's map
 * of its first top-level window, and its peak resident memory at that moment.
 *
 *   mapwatch [-t seconds] program [args...]
 *
 * Prints "<milliseconds> <VmHWM KiB>" on stdout, or fails. The events are selected on the root
 * window before the program starts, so no map can be missed, and the wait blocks on the X
 * connection, which wakes it at the event itself (and every 100 ms to see whether the program
 * died). The program is stopped at the event, measured, then killed. */
#define _GNU_SOURCE
#include <X11/Xlib.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double now_ms(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

/* VmHWM of a process in KiB, or -1. */
static long peak_kib(pid_t pid)
{
    char path[64], line[256];
    long kib = -1;
    snprintf(path, sizeof path, "/proc/%d/status", (int)pid);
    FILE *f = fopen(path, "r");
    if (!f)
        return -1;
    while (fgets(line, sizeof line, f)) {
        if (strncmp(line, "VmHWM:", 6) == 0) {
            kib = strtol(line + 6, NULL, 10);
            break;
        }
    }
    fclose(f);
    return kib;
}

static void finish(pid_t pid)
{
    kill(pid, SIGKILL);
    waitpid(pid, NULL, 0);
}

int main(int argc, char **argv)
{
    double limit_s = 20;
    int first = 1;
    if (argc > 2 && strcmp(argv[1], "-t") == 0) {
        limit_s = atof(argv[2]);
        first = 3;
    }
    if (first >= argc) {
        fprintf(stderr, "usage: mapwatch [-t seconds] program [args...]\n");
        return 2;
    }
    Display *dpy = XOpenDisplay(NULL);
    if (!dpy) {
        fprintf(stderr, "mapwatch: cannot open display\n");
        return 2;
    }
    Window root = DefaultRootWindow(dpy);
    XSelectInput(dpy, root, SubstructureNotifyMask);
    XSync(dpy, False); /* the selection is in force before the program exists */

    const double start = now_ms();
    pid_t pid = fork();
    if (pid < 0) {
        perror("mapwatch: fork");
        return 2;
    }
    if (pid == 0) {
        close(ConnectionNumber(dpy));
        /* Our standard output carries the result alone; the program's chatter goes away. */
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0)
            dup2(null, STDOUT_FILENO);
        execvp(argv[first], argv + first);
        fprintf(stderr, "mapwatch: cannot run %s: %s\n", argv[first], strerror(errno));
        _exit(127);
    }

    struct pollfd x = {ConnectionNumber(dpy), POLLIN, 0};
    for (;;) {
        while (XPending(dpy)) {
            XEvent ev;
            XNextEvent(dpy, &ev);
            if (ev.type == MapNotify && ev.xmap.event == root) {
                const double elapsed = now_ms() - start;
                kill(pid, SIGSTOP); /* hold the memory figure where it stood at the map */
                const long kib = peak_kib(pid);
                finish(pid);
                printf("%.3f %ld\n", elapsed, kib);
                return kib < 0 ? 1 : 0;
            }
        }
        const double left = limit_s * 1e3 - (now_ms() - start);
        int status;
        if (left <= 0 || waitpid(pid, &status, WNOHANG) == pid) {
            fprintf(stderr, "mapwatch: %s showed no window\n", argv[first]);
            finish(pid);
            return 1;
        }
        /* Wakes for X traffic; every 100 ms it also looks whether the program died. */
        poll(&x, 1, left < 100 ? (int)left + 1 : 100);
    }
}

/* The baseline: a plain Unix-socket ping-pong, nothing between the program and the kernel. */

#define _POSIX_C_SOURCE 200809L

#include "pingpong.h"

#include <pthread.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

struct echo_args
{
    int fd;
    size_t size;
};

static int read_full(int fd, unsigned char* pBuffer, size_t nSize)
{
    size_t nDone = 0;
    while (nDone < nSize) {
        ssize_t n = read(fd, pBuffer + nDone, nSize - nDone);
        if (n <= 0)
            return -1;
        nDone += (size_t)n;
    }
    return 0;
}

static int write_full(int fd, const unsigned char* pBuffer, size_t nSize)
{
    size_t nDone = 0;
    while (nDone < nSize) {
        ssize_t n = write(fd, pBuffer + nDone, nSize - nDone);
        if (n <= 0)
            return -1;
        nDone += (size_t)n;
    }
    return 0;
}

static void* echo_main(void* pArg)
{
    struct echo_args* pArgs = (struct echo_args*)pArg;
    unsigned char* pBuffer = malloc(pArgs->size);
    if (pBuffer) {
        while (read_full(pArgs->fd, pBuffer, pArgs->size) == 0 &&
               write_full(pArgs->fd, pBuffer, pArgs->size) == 0) {
        }
        free(pBuffer);
    }
    return NULL;
}

static long long now_ns(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

int pingpong_run(const unsigned char* pMessage, size_t nSize, long long* pNanos, int nRounds)
{
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
        return -1;
    struct echo_args args = {fds[1], nSize};
    pthread_t thread;
    if (pthread_create(&thread, NULL, echo_main, &args) != 0) {
        close(fds[0]);
        close(fds[1]);
        return -1;
    }
    unsigned char* pBuffer = malloc(nSize);
    int iResult = pBuffer ? 0 : -1;
    for (int i = 0; i < nRounds && iResult == 0; ++i) {
        long long nStart = now_ns();
        if (write_full(fds[0], pMessage, nSize) != 0 || read_full(fds[0], pBuffer, nSize) != 0)
            iResult = -1;
        pNanos[i] = now_ns() - nStart;
    }
    /* The echo thread sees the end of the stream and returns. */
    shutdown(fds[0], SHUT_RDWR);
    pthread_join(thread, NULL);
    close(fds[0]);
    close(fds[1]);
    free(pBuffer);
    return iResult;
}

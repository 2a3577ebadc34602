#pragma once

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Round trips of nSize bytes over a Unix stream socket pair, echoed by a second thread. pNanos receives
 * the duration of each of the nRounds round trips. Returns 0 on success, -1 on any failure. */
int pingpong_run(const unsigned char* pMessage, size_t nSize, long long* pNanos, int nRounds);

#ifdef __cplusplus
}
#endif

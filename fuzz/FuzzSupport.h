// Shared by the fuzz harnesses: an invariant check that aborts loudly under libFuzzer and in replay.
// SPDX-License-Identifier: MIT
#ifndef SERVICEAPP_FUZZ_FUZZSUPPORT_H
#define SERVICEAPP_FUZZ_FUZZSUPPORT_H

#include <cstdio>
#include <cstdlib>

// abort() rather than assert(): the check must hold in Release replays too.
#define FUZZ_CHECK(cond)                                                                      \
    do {                                                                                      \
        if (!(cond)) {                                                                        \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                     \
        }                                                                                     \
    } while (0)

#endif

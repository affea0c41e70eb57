// Tests that depend on kernel features qemu-user does not translate for a foreign processor
// (some control messages, TCP_INFO, group lists, its own descriptors) skip themselves when the
// cross suite runs under it. The cross test preset sets QUARN_EMULATED to the emulator's name.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>

#define QUARN_SKIP_UNDER_EMULATION(what)                                                       \
    do {                                                                                       \
        if (const char *emulator = std::getenv("QUARN_EMULATED"); emulator != nullptr) {       \
            GTEST_SKIP() << emulator << " does not translate " << what;                        \
        }                                                                                      \
    } while (0)

// Seams around three C library calls of the Linux kqueue layer, for the tests that need an exact
// interleaving or a failure. The test binary is linked with --wrap=epoll_ctl, --wrap=calloc and
// --wrap=poll; unarmed, the calls go straight through.
#pragma once

#if defined(__linux__)

#include <functional>

namespace kqwrap {

// Runs `action` once, on the calling thread, right before the next epoll_ctl that arms a
// kqueue's wake-up (EPOLL_CTL_MOD of the private eventfd): the layer's mutex is released then.
void beforeNextWakeArm(std::function<void()> action);

// Makes the next EPOLL_CTL_MOD, from any thread, fail with error (0 disarms). Returns whether
// the one armed before was used.
bool failNextMod(int error);

// Makes the next EPOLL_CTL_ADD, from any thread, fail with error (0 disarms). Returns whether
// the one armed before was used.
bool failNextAdd(int error);

// Makes the next poll, from any thread, fail with error (0 disarms). Returns whether the one
// armed before was used.
bool failNextPoll(int error);

// Makes the nth calloc from now on, on this thread, fail with ENOMEM (1: the next one). 0
// disarms. Returns the callocs seen on this thread since the last call.
int failCalloc(int nth);

}  // namespace kqwrap

#endif

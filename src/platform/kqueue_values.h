// FreeBSD 14's kqueue filter, flag and note values: the one list of them in the tree. The Linux
// layer defines its names from it; the FreeBSD build checks it against <sys/event.h>, so that the
// values the constant natives report can never differ between the two systems.
//
// QUARN_KQUEUE_VALUES(X) calls X(name, value) once per value.
#pragma once

#define QUARN_KQUEUE_VALUES(X)      \
    X(EVFILT_READ, -1)              \
    X(EVFILT_WRITE, -2)             \
    X(EVFILT_USER, -11)             \
    X(EV_ADD, 0x0001)               \
    X(EV_DELETE, 0x0002)            \
    X(EV_ENABLE, 0x0004)            \
    X(EV_DISABLE, 0x0008)           \
    X(EV_ONESHOT, 0x0010)           \
    X(EV_CLEAR, 0x0020)             \
    X(EV_RECEIPT, 0x0040)           \
    X(EV_DISPATCH, 0x0080)          \
    X(EV_ERROR, 0x4000)             \
    X(EV_EOF, 0x8000)               \
    X(NOTE_FFNOP, 0x00000000)       \
    X(NOTE_FFAND, 0x40000000)       \
    X(NOTE_FFOR, 0x80000000)        \
    X(NOTE_FFCOPY, 0xc0000000)      \
    X(NOTE_FFCTRLMASK, 0xc0000000)  \
    X(NOTE_FFLAGSMASK, 0x00ffffff)  \
    X(NOTE_TRIGGER, 0x01000000)

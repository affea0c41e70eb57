package io.quarn.examples;

import io.quarn.channel.unix.ErrorsStaticallyReferencedJniMethods;

/** Turns the natives' negated errno results into exceptions where the demo cannot go on. */
final class Checks {
    private Checks() {
    }

    static int fd(int result, String what) {
        if (result < 0) {
            throw new IllegalStateException(what + ": " + ErrorsStaticallyReferencedJniMethods.strError(-result));
        }
        return result;
    }

    static void ok(int result, String what) {
        fd(result, what);
    }
}

package io.quarn.faults;

/** A piece of work on the library that the sweep fails at every call site it reaches. */
interface Scenario {
    /** Done once, with no fault armed: loading the library, a kqueue kept across runs. */
    default void setUp() throws Exception {
    }

    /** The work; every descriptor it opens is owned by the run, and every byte is checked. */
    void body(Run run) throws Exception;

    default void tearDown() throws Exception {
    }
}

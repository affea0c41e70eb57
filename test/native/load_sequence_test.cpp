#include "kqueue/load_sequence.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "fake_jni.h"
#include "quarn_transport_native_kqueue.h"
#include "unix/util/registration.h"
#include "unix/util/time.h"

namespace {

using quarn::load::ModuleRow;
using quarn::load::moduleRow;
using quarn::test::FakeJni;

// What the fake modules did, in order: "load N", "unload N".
std::vector<std::string> gEvents;
int gFailingModule = -1;
std::string gPrefixSeen;

template <int N>
jint fakeLoad(JNIEnv *, const char *prefix) {
    gEvents.push_back("load " + std::to_string(N));
    gPrefixSeen = prefix == nullptr ? "<none>" : prefix;
    return N == gFailingModule ? -1 : JNI_VERSION_1_6;
}

template <int N>
void fakeUnload(JNIEnv *) {
    gEvents.push_back("unload " + std::to_string(N));
}

void noop(JNIEnv *, jclass) {
}

const JNINativeMethod kRows[] = {QUARN_NATIVE("noop", "()V", noop)};

const ModuleRow kTable[] = {
    quarn::load::registrationRow("io/quarn/A", kRows, 1),
    quarn::load::registrationRow("io/quarn/B", kRows, 1),
    moduleRow(&fakeLoad<3>, &fakeUnload<3>, "io/quarn/M3"),
    moduleRow(&fakeLoad<4>, &fakeUnload<4>, "io/quarn/M4"),
    moduleRow(&fakeLoad<5>, &fakeUnload<5>, "io/quarn/M5"),
    moduleRow(&fakeLoad<6>, &fakeUnload<6>, "io/quarn/M6"),
    moduleRow(&fakeLoad<7>, &fakeUnload<7>, "io/quarn/M7"),
    moduleRow(&fakeLoad<8>, &fakeUnload<8>, "io/quarn/M8"),
    moduleRow(&fakeLoad<9>, &fakeUnload<9>, "io/quarn/M9"),
};

const char *gPath = "/opt/libquarn_transport_native_kqueue_x86_64.so";
const char *fakePath() {
    return gPath;
}
bool gClockWorks = true;
bool fakeClock(clockid_t *clock) {
    *clock = gClockWorks ? CLOCK_MONOTONIC : CLOCK_REALTIME;
    return gClockWorks;
}

class LoadSequence : public ::testing::Test {
protected:
    void SetUp() override {
        gEvents.clear();
        gFailingModule = -1;
        gClockWorks = true;
        gPath = "/opt/libquarn_transport_native_kqueue_x86_64.so";
        errors = tmpfile();
    }
    void TearDown() override { fclose(errors); }

    jint load() {
        quarn::load::LoadSequence sequence{kTable, std::size(kTable), &fakePath, &fakeClock, &clock, errors};
        return quarn::load::loadLibrary(jni.vm(), sequence);
    }
    std::string errorText() {
        rewind(errors);
        std::string text;
        int c;
        while ((c = fgetc(errors)) != EOF) text.push_back(static_cast<char>(c));
        return text;
    }

    FakeJni jni;
    clockid_t clock = CLOCK_REALTIME;
    FILE *errors = nullptr;
};

TEST_F(LoadSequence, LoadsEveryRowInOrderThenChoosesTheClock) {
    EXPECT_EQ(load(), JNI_VERSION_1_6);
    EXPECT_EQ(gEvents, (std::vector<std::string>{"load 3", "load 4", "load 5", "load 6", "load 7", "load 8",
                                                 "load 9"}));
    ASSERT_EQ(jni.registrations.size(), 2u);
    EXPECT_EQ(jni.registrations[0].className, "io/quarn/A");
    EXPECT_EQ(jni.registrations[1].className, "io/quarn/B");
    EXPECT_EQ(gPrefixSeen, "<none>");
    EXPECT_EQ(clock, CLOCK_MONOTONIC);
    EXPECT_EQ(errorText(), "");
}

TEST_F(LoadSequence, PrefixReachesRegistrationsAndModules) {
    gPath = "/tmp/libshaded_prefix_quarn_transport_native_kqueue.so";
    EXPECT_EQ(load(), JNI_VERSION_1_6);
    EXPECT_EQ(jni.registrations[0].className, "shaded/prefix/io/quarn/A");
    EXPECT_EQ(gPrefixSeen, "shaded/prefix/");
}

// For a failure at each module row: the modules before it unload in table order, the failed
// one does not, and nothing after it loads.
TEST_F(LoadSequence, ModuleFailureRollsBackTheModulesBeforeIt) {
    for (int failing = 3; failing <= 9; ++failing) {
        gEvents.clear();
        gFailingModule = failing;
        EXPECT_EQ(load(), JNI_ERR);
        std::vector<std::string> expected;
        for (int i = 3; i <= failing; ++i) expected.push_back("load " + std::to_string(i));
        for (int i = 3; i < failing; ++i) expected.push_back("unload " + std::to_string(i));
        EXPECT_EQ(gEvents, expected) << "failing module " << failing;
    }
}

// A failed load leaves no native registered: the VM unmaps the library, and a registered
// native would jump into unmapped memory. The failure's own exception stays what the VM sees.
TEST_F(LoadSequence, FailureUnregistersTheNativesOfEveryRowUpToTheFailedOne) {
    gFailingModule = 5;
    jni.missingClasses.insert("io/quarn/M4");  // looked up only while unregistering
    EXPECT_EQ(load(), JNI_ERR);
    std::vector<std::string> unregistered;
    for (const std::string &call : jni.calls) {
        if (call.rfind("UnregisterNatives ", 0) == 0) {
            unregistered.push_back(call.substr(18));
        }
    }
    EXPECT_EQ(unregistered, (std::vector<std::string>{"io/quarn/A", "io/quarn/B", "io/quarn/M3", "io/quarn/M5"}))
        << "M4 cannot be found, and nothing after the failed M5 was registered";
    EXPECT_FALSE(jni.exceptionPending) << "the missing M4's exception is cleared";
}

TEST_F(LoadSequence, FailureExceptionIsPendingAgainAfterTheNativesAreUnregistered) {
    jni.failingRegistrations.insert("io/quarn/B");
    EXPECT_EQ(load(), JNI_ERR);
    EXPECT_TRUE(jni.exceptionPending);
    EXPECT_EQ(jni.calls.back(), "DeleteLocalRef");
    EXPECT_EQ(jni.calls.end()[-2], "Throw <pending exception>");
    EXPECT_EQ(std::count(jni.calls.begin(), jni.calls.end(), "ExceptionClear"), 1) << "only the failure's";
}

TEST_F(LoadSequence, NoClockUnregistersEveryRow) {
    gClockWorks = false;
    gPath = "/tmp/libshaded_prefix_quarn_transport_native_kqueue.so";
    EXPECT_EQ(load(), JNI_ERR);
    EXPECT_EQ(std::count_if(jni.calls.begin(), jni.calls.end(),
                            [](const std::string &call) { return call.rfind("UnregisterNatives shaded/prefix/", 0) == 0; }),
              9);
}

TEST_F(LoadSequence, DirectRegistrationFailureLoadsNoModule) {
    jni.failingRegistrations.insert("io/quarn/B");
    EXPECT_EQ(load(), JNI_ERR);
    EXPECT_TRUE(gEvents.empty());
    ASSERT_EQ(jni.registrations.size(), 1u);  // A stays registered
}

TEST_F(LoadSequence, MissingClassFailsTheRegistrationRow) {
    jni.missingClasses.insert("io/quarn/A");
    EXPECT_EQ(load(), JNI_ERR);
    EXPECT_TRUE(gEvents.empty());
    EXPECT_TRUE(jni.exceptionPending);  // FindClass's exception is left for the VM
}

TEST_F(LoadSequence, NoClockUnloadsAllModulesAndSaysSo) {
    gClockWorks = false;
    EXPECT_EQ(load(), JNI_ERR);
    EXPECT_EQ(std::vector<std::string>(gEvents.begin() + 7, gEvents.end()),
              (std::vector<std::string>{"unload 3", "unload 4", "unload 5", "unload 6", "unload 7", "unload 8",
                                        "unload 9"}));
    EXPECT_EQ(errorText(), "FATAL: could not find a clock for clock_gettime!\n");
    EXPECT_EQ(clock, CLOCK_REALTIME);
}

TEST_F(LoadSequence, UnexpectedFileNameIsFatal) {
    gPath = "/opt/app/libfoo.so";
    EXPECT_EQ(load(), JNI_ERR);
    EXPECT_TRUE(gEvents.empty());
    EXPECT_EQ(errorText(), "FATAL: transport-native-kqueue JNI encountered unexpected dlinfo.dli_fname: /opt/app/libfoo.so\n");
}

TEST_F(LoadSequence, NoOwnPathIsFatal) {
    gPath = nullptr;
    EXPECT_EQ(load(), JNI_ERR);
    const std::string text = errorText();
    EXPECT_EQ(text, "FATAL: transport-native-kqueue JNI call to dladdr failed!\n");
    EXPECT_EQ(text.size(), 58u);
}

TEST_F(LoadSequence, GetEnvFailureDoesNothing) {
    jni.getEnvFails = true;
    EXPECT_EQ(load(), JNI_ERR);
    quarn::load::LoadSequence sequence{kTable, std::size(kTable), &fakePath, &fakeClock, &clock, errors};
    quarn::load::unloadLibrary(jni.vm(), sequence);
    EXPECT_TRUE(gEvents.empty());
    EXPECT_EQ(errorText(), "");
}

TEST_F(LoadSequence, UnloadWalksTheModulesInTableOrder) {
    quarn::load::LoadSequence sequence{kTable, std::size(kTable), &fakePath, &fakeClock, &clock, errors};
    quarn::load::unloadLibrary(jni.vm(), sequence);
    EXPECT_EQ(gEvents, (std::vector<std::string>{"unload 3", "unload 4", "unload 5", "unload 6", "unload 7",
                                                 "unload 8", "unload 9"}));
}

// Wait clock choice with a scripted clock_gettime.
std::vector<clockid_t> gTried;
clockid_t gWorking = -1;
int scriptedClock(clockid_t id, struct timespec *) {
    gTried.push_back(id);
    return id == gWorking ? 0 : -1;
}

TEST(WaitClock, TakesTheFirstCandidateThatWorks) {
    const clockid_t candidates[] = {12, 4, 10, 0};
    clockid_t chosen = -7;
    gTried.clear();
    gWorking = 10;
    EXPECT_TRUE(quarn::util::initializeWaitClock(&chosen, candidates, 4, &scriptedClock));
    EXPECT_EQ(chosen, 10);
    EXPECT_EQ(gTried, (std::vector<clockid_t>{12, 4, 10}));

    gTried.clear();
    gWorking = 99;
    EXPECT_FALSE(quarn::util::initializeWaitClock(&chosen, candidates, 4, &scriptedClock));
    EXPECT_EQ(chosen, CLOCK_REALTIME);
    EXPECT_EQ(gTried.size(), 4u);
}

TEST(WaitClock, ThisSystemHasOne) {
    clockid_t chosen = -1;
    EXPECT_TRUE(quarn_unix_util_initialize_wait_clock(&chosen));
    struct timespec now {};
    EXPECT_EQ(quarn_unix_util_clock_gettime(chosen, &now), 0);
}

// Dynamic method tables.
void entryA(JNIEnv *, jclass) {
}

TEST(DynamicTable, StaticRowsFirstThenPrefixedSignatures) {
    const JNINativeMethod statics[] = {QUARN_NATIVE("a", "()V", entryA), QUARN_NATIVE("b", "()V", entryA)};
    const quarn::util::DynamicMethod dynamics[] = {
        {"recv", "(IJII)L", "io/quarn/channel/unix/DatagramSocketAddress;", reinterpret_cast<void *>(entryA)}};
    JNINativeMethod *table = quarn::util::buildDynamicMethodsTable("shaded/", statics, 2, dynamics, 1);
    ASSERT_NE(table, nullptr);
    EXPECT_STREQ(table[0].name, "a");
    EXPECT_STREQ(table[1].name, "b");
    EXPECT_STREQ(table[2].name, "recv");
    EXPECT_STREQ(table[2].signature, "(IJII)Lshaded/io/quarn/channel/unix/DatagramSocketAddress;");
    quarn_unix_util_free_dynamic_methods_table(table, 2, 3);
}

TEST(DynamicTable, PartlyBuiltTableFreesSafely) {
    // As a build that failed on its second dynamic signature leaves it: that row still zero.
    auto *table = static_cast<JNINativeMethod *>(std::calloc(4, sizeof(JNINativeMethod)));
    table[2].signature = quarn_unix_util_prepend("(I)L", "x;");
    quarn_unix_util_free_dynamic_methods_table(table, 2, 4);
    quarn_unix_util_free_dynamic_methods_table(nullptr, 0, 4);
    // First equal to total frees only the table.
    quarn_unix_util_free_dynamic_methods_table(static_cast<JNINativeMethod *>(std::calloc(1, sizeof(JNINativeMethod))),
                                               1, 1);
}

TEST(Registration, MissingClassIsMinusOneWithTheExceptionLeftPending) {
    FakeJni jni;
    jni.missingClasses.insert("p/io/quarn/X");
    EXPECT_EQ(quarn_unix_util_register_natives(jni.env(), "p/", "io/quarn/X", kRows, 1), -1);
    EXPECT_TRUE(jni.exceptionPending);
    EXPECT_EQ(quarn_unix_util_register_natives(jni.env(), nullptr, "io/quarn/X", kRows, 1), 0);
    EXPECT_EQ(jni.registrations.back().className, "io/quarn/X");
}

}  // namespace

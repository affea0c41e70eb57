#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "quarn_transport_native_kqueue.h"

namespace {

constexpr const char kName[] = "quarn_transport_native_kqueue";

struct Parsed {
    bool hasPrefix;
    std::string prefix;
    jint status;
};

Parsed parse(const char *path) {
    jint status = 0;
    char *prefix = quarn_unix_util_parse_package_prefix(path, kName, &status);
    Parsed result{prefix != nullptr, prefix != nullptr ? prefix : "", status};
    std::free(prefix);
    return result;
}

struct Example {
    const char *path;
    bool hasPrefix;
    const char *prefix;
    jint status;
};

class PrefixExamples : public ::testing::TestWithParam<Example> {};

TEST_P(PrefixExamples, DerivesPrefixFromFileName) {
    const Example &e = GetParam();
    const Parsed parsed = parse(e.path);
    EXPECT_EQ(parsed.hasPrefix, e.hasPrefix) << e.path;
    EXPECT_EQ(parsed.prefix, e.prefix) << e.path;
    EXPECT_EQ(parsed.status, e.status) << e.path;
}

INSTANTIATE_TEST_SUITE_P(
    WorkedExamples, PrefixExamples,
    ::testing::Values(Example{"/opt/native/libquarn_transport_native_kqueue_aarch_64.so", false, "", 0},
                      Example{"/tmp/libshaded_prefix_quarn_transport_native_kqueue.so", true, "shaded/prefix/", 0},
                      Example{"/a/libmy_app_quarn_transport_native_kqueue_aarch_64.so", true, "my/app/", 0},
                      Example{"/tmp/libshadedquarn_transport_native_kqueue_aarch_64.so", true, "shaded/", 0},
                      Example{"/x/libquarn_transport_native_kqueue/libfoo_quarn_transport_native_kqueue.so", true,
                              "foo/", 0},
                      Example{"/opt/lib/quarn_transport_native_kqueue.so", true, "/", 0},
                      Example{"/opt/app/quarn_transport_native_kqueue.so", false, "", -1},
                      Example{"/opt/app/libfoo.so", false, "", -1},
                      Example{"xxquarn_transport_native_kqueue.so", false, "", -1},
                      // The marker right before the name wins over markers further up.
                      Example{"/usr/lib/libquarn_transport_native_kqueue.so", false, "", 0},
                      // A text that already ends in '_' gets no second '/'.
                      Example{"/tmp/libab_quarn_transport_native_kqueue.so", true, "ab/", 0},
                      Example{"/tmp/liba__quarn_transport_native_kqueue.so", true, "a//", 0},
                      // The name beginning in the first three bytes is a failure.
                      Example{"libquarn_transport_native_kqueue.so", false, "", 0},
                      Example{"ibquarn_transport_native_kqueue.so", false, "", -1}));

TEST(PrefixDiscovery, OverlappingOccurrencesCountTowardsTheLast) {
    jint status = 0;
    char *prefix = quarn_unix_util_parse_package_prefix("/libaaXaXa.so", "aXa", &status);
    ASSERT_NE(prefix, nullptr);
    // "aXa" stands at 5 and, overlapping, at 7: the one at 7 counts, so the prefix is "aaX".
    EXPECT_STREQ(prefix, "aaX/");
    EXPECT_EQ(status, 0);
    std::free(prefix);
}

TEST(Rstrstr, FindsTheMatchNearestTheEndInsideTheRegion) {
    char text[] = "abcabcab";
    char *end = text + std::strlen(text);
    EXPECT_EQ(quarn_unix_util_rstrstr(end, text, "abc"), text + 3);
    EXPECT_EQ(quarn_unix_util_rstrstr(end, text, "ab"), text + 6);
    EXPECT_EQ(quarn_unix_util_rstrstr(text + 5, text, "abc"), text);  // a match must end inside
    EXPECT_EQ(quarn_unix_util_rstrstr(end, text + 1, "abcabc"), nullptr);
    EXPECT_EQ(quarn_unix_util_rstrstr(end, text, "zz"), nullptr);
    EXPECT_EQ(quarn_unix_util_rstrstr(text + 2, text, "abc"), nullptr);  // needle longer than the region
}

TEST(Prepend, JoinsOrCopies) {
    char *joined = quarn_unix_util_prepend("shaded/", "io/quarn/X");
    EXPECT_STREQ(joined, "shaded/io/quarn/X");
    const char text[] = "io/quarn/Y";
    char *copy = quarn_unix_util_prepend(nullptr, text);
    EXPECT_STREQ(copy, text);
    EXPECT_NE(copy, text);
    std::free(joined);
    std::free(copy);
}

TEST(FreeDynamicName, FreesOnceAndClearsTheHolder) {
    char *name = quarn_unix_util_prepend(nullptr, "name");
    quarn_unix_util_free_dynamic_name(&name);
    EXPECT_EQ(name, nullptr);
    quarn_unix_util_free_dynamic_name(&name);  // second call: nothing
    quarn_unix_util_free_dynamic_name(nullptr);
    std::free(name);  // the exit-path free of a released holder is harmless
}

}  // namespace

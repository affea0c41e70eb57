#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/strerror.h"
#include "unix/errno_message.h"

namespace {

using quarn::errors::buildErrnoMessage;
using quarn::errors::errorNumberMagnitude;

// The suite runs on one thread, so strerror's shared buffer is safe to compare against here.
std::string systemText(int number) { return std::strerror(number); }

std::string take(char *message) {
    EXPECT_NE(message, nullptr);
    std::string text = message == nullptr ? "<null>" : message;
    std::free(message);
    return text;
}

TEST(ErrnoMessage, NegatedAndPositiveErrnoGiveTheSameText) {
    const std::string expected = "write() failed: " + systemText(EBADF);
    EXPECT_EQ(take(buildErrnoMessage("write() failed: ", -EBADF)), expected);
    EXPECT_EQ(take(buildErrnoMessage("write() failed: ", EBADF)), expected);
}

TEST(ErrnoMessage, NullPrefixGivesTheTextAlone) {
    EXPECT_EQ(take(buildErrnoMessage(nullptr, -EPIPE)), systemText(EPIPE));
}

TEST(ErrnoMessage, ErrnoWithoutSystemTextStillGivesAMessage) {
    // No system has an error 9999; its text is the system's text for an unknown number.
    const std::string message = take(buildErrnoMessage("p: ", -9999));
    EXPECT_EQ(message, "p: " + systemText(9999));
    EXPECT_GT(message.size(), 3u);
}

TEST(ErrnoMessage, MostNegativeIntDoesNotOverflow) {
    EXPECT_EQ(errorNumberMagnitude(INT_MIN), INT_MIN);
    EXPECT_EQ(errorNumberMagnitude(-INT_MAX), INT_MAX);
    EXPECT_EQ(errorNumberMagnitude(0), 0);
    const std::string message = take(buildErrnoMessage("p: ", INT_MIN));
    EXPECT_EQ(message, "p: " + systemText(INT_MIN));
}

TEST(ErrnoMessage, LongPrefixIsKeptWhole) {
    const std::string prefix = std::string(5000, 'x') + ": ";
    EXPECT_EQ(take(buildErrnoMessage(prefix.c_str(), ENOENT)), prefix + systemText(ENOENT));
}

int gAllocations = 0;

void *failingAllocator(size_t, size_t) {
    ++gAllocations;
    return nullptr;
}

void *countingAllocator(size_t count, size_t size) {
    ++gAllocations;
    return std::calloc(count, size);
}

TEST(ErrnoMessage, WithoutABufferTheMessageIsThePrefixAlone) {
    gAllocations = 0;
    EXPECT_EQ(take(buildErrnoMessage("connect() failed: ", ECONNREFUSED, &failingAllocator)), "connect() failed: ");
    EXPECT_EQ(gAllocations, 1);
}

TEST(ErrnoMessage, ShortTextNeedsOneBuffer) {
    gAllocations = 0;
    EXPECT_EQ(take(buildErrnoMessage("p: ", EAGAIN, &countingAllocator)), "p: " + systemText(EAGAIN));
    EXPECT_EQ(gAllocations, 1);
}

TEST(ErrorText, TextThatDoesNotFitIsCutAndReportedAsRange) {
    const std::string full = systemText(EBADF);
    ASSERT_GT(full.size(), 7u);
    char small[8];
    std::memset(small, 'z', sizeof(small));
    EXPECT_EQ(quarn::platform::errorText(EBADF, small, sizeof(small)), ERANGE);
    EXPECT_EQ(std::string(small), full.substr(0, 7));

    char one[1] = {'z'};
    EXPECT_EQ(quarn::platform::errorText(EBADF, one, sizeof(one)), ERANGE);
    EXPECT_EQ(one[0], '\0');
}

TEST(ErrorText, FittingTextIsWholeInTheCallersBuffer) {
    char text[256];
    std::memset(text, 'z', sizeof(text));
    EXPECT_EQ(quarn::platform::errorText(ENOENT, text, sizeof(text)), 0);
    EXPECT_EQ(std::string(text), systemText(ENOENT));
}

}  // namespace

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fake_jni.h"
#include "quarn_transport_native_kqueue.h"

namespace {

using quarn::test::FakeJni;

// The natives as the module registered them, called through the fake environment.
class FileDescriptorNatives : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(quarn_unix_filedescriptor_JNI_OnLoad(fake.env(), nullptr), JNI_VERSION_1_6);
        fake.calls.clear();
    }

    template <typename Function>
    Function native(const std::string &name) {
        const auto &rows = fake.registrations.at(0);
        const auto at = std::find(rows.names.begin(), rows.names.end(), name);
        return reinterpret_cast<Function>(rows.functions.at(static_cast<size_t>(at - rows.names.begin())));
    }

    std::string scratchPath() { return ::testing::TempDir() + "quarn_fd_open_" + std::to_string(getpid()); }

    FakeJni fake;
};

using OpenFn = jint (*)(JNIEnv *, jclass, jstring);
using CloseFn = jint (*)(JNIEnv *, jclass, jint);
using PipeFn = jlong (*)(JNIEnv *, jclass);
using WritevFn = jlong (*)(JNIEnv *, jclass, jint, jobjectArray, jint, jint, jlong);

TEST_F(FileDescriptorNatives, OpenWithoutThePathsCharactersFailsWithTheExceptionPending) {
    const std::string path = scratchPath();
    unlink(path.c_str());
    fake.stringCharsFail = true;
    EXPECT_LT(native<OpenFn>("open")(fake.env(), nullptr, fake.string(path)), 0);
    EXPECT_TRUE(fake.exceptionPending);
    EXPECT_EQ(std::count(fake.calls.begin(), fake.calls.end(), "ReleaseStringUTFChars"), 0);
    EXPECT_NE(access(path.c_str(), F_OK), 0) << "nothing was opened";
}

TEST_F(FileDescriptorNatives, OpenCreatesWriteOnlyAndReleasesTheCharacters) {
    const std::string path = scratchPath();
    unlink(path.c_str());
    const jint fd = native<OpenFn>("open")(fake.env(), nullptr, fake.string(path));
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_ACCMODE, O_WRONLY);
    EXPECT_EQ(std::count(fake.calls.begin(), fake.calls.end(), "ReleaseStringUTFChars"), 1);
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    const mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(info.st_mode & 0777, 0666 & ~mask);
    EXPECT_EQ(native<CloseFn>("close")(fake.env(), nullptr, fd), 0);
    EXPECT_EQ(native<CloseFn>("close")(fake.env(), nullptr, fd), -EBADF);
    unlink(path.c_str());
}

TEST_F(FileDescriptorNatives, NewPipePacksTheReadEndAboveTheWriteEnd) {
    const jlong packed = native<PipeFn>("newPipe")(fake.env(), nullptr);
    ASSERT_GT(packed, 0);
    const int readEnd = static_cast<int>(static_cast<uint64_t>(packed) >> 32);
    const int writeEnd = static_cast<int>(packed & 0xffffffff);
    ASSERT_EQ(write(writeEnd, "x", 1), 1);
    char byte = 0;
    EXPECT_EQ(read(readEnd, &byte, 1), 1);
    EXPECT_EQ(byte, 'x');
    EXPECT_NE(fcntl(readEnd, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_NE(fcntl(writeEnd, F_GETFL) & O_NONBLOCK, 0);
    close(readEnd);
    close(writeEnd);
}

TEST_F(FileDescriptorNatives, WritevWithNegativeLengthIsEinvalWithoutAnyCall) {
    EXPECT_EQ(native<WritevFn>("writev")(fake.env(), nullptr, 1, nullptr, 0, -1, 100), -EINVAL);
    EXPECT_TRUE(fake.calls.empty());
}

}  // namespace

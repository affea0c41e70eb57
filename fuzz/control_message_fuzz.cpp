// The control-message walk shared by the datagram receive (the original destination address)
// and recvFd (SCM_RIGHTS), over control data as a hostile or confused kernel could return it:
// messages shorter than their header, lengths past the end, odd alignments, truncation.
//
// The control buffer is a heap block of exactly the returned length, so AddressSanitizer sees
// any read past it. Each walk is compared with a reference walk written out here from the
// C library's CMSG_NXTHDR rules. Every descriptor slot of every SCM_RIGHTS message the
// reference visits holds a real descriptor of this process, and close(2) is wrapped
// (-Wl,--wrap=close): the descriptor receive must close exactly the ones it does not return,
// and closing any other number is a finding, since it would close some unrelated descriptor.
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

#include "unix/socket/datagram.h"
#include "unix/socket/datagram_control.h"
#include "unix/socket/domain.h"

namespace {

void require(bool condition, const char *what) {
    if (!condition) {
        std::fprintf(stderr, "property violated: %s\n", what);
        std::abort();
    }
}

// close(2) as seen by the code under test while recording is on.
bool gRecording = false;
std::set<int> gPool;
std::vector<int> gClosed;

}  // namespace

extern "C" int __real_close(int fd);

extern "C" int __wrap_close(int fd) {
    if (gRecording) {
        gClosed.push_back(fd);
        if (gPool.count(fd) == 0) {
            std::fprintf(stderr, "close(%d) of a descriptor that no message carried\n", fd);
            std::abort();
        }
    }
    return __real_close(fd);
}

namespace {

struct Visit {
    size_t offset;
    size_t length;
    size_t dataLength;
};

size_t readLength(const unsigned char *control, size_t offset) {
    cmsghdr header;
    std::memcpy(&header, control + offset, sizeof(header));
    return header.cmsg_len;
}

// Which messages a correct walk visits: the C library's CMSG_FIRSTHDR and CMSG_NXTHDR rules,
// plus the walk's own stop at a message shorter than its header or longer than what is left.
std::vector<Visit> referenceWalk(const unsigned char *control, size_t controlLength) {
    std::vector<Visit> visits;
    if (control == nullptr || controlLength < sizeof(cmsghdr)) {
        return visits;
    }
    size_t offset = 0;
    for (;;) {
        const size_t length = readLength(control, offset);
        const size_t room = controlLength - offset;
        if (length < sizeof(cmsghdr) || length > room) {
            return visits;
        }
        visits.push_back({offset, length, length - CMSG_LEN(0)});
        // The next header must fit wholly after this message's padded length.
        const size_t padded = CMSG_ALIGN(length);
        if (padded > room || room - padded < sizeof(cmsghdr)) {
            return visits;
        }
        offset += padded;
    }
}

int levelOf(const unsigned char *control, const Visit &visit) {
    cmsghdr header;
    std::memcpy(&header, control + visit.offset, sizeof(header));
    return header.cmsg_level;
}

int typeOf(const unsigned char *control, const Visit &visit) {
    cmsghdr header;
    std::memcpy(&header, control + visit.offset, sizeof(header));
    return header.cmsg_type;
}

// Lays out messages with lengths, levels and types that the walk cares about, and sometimes
// not: the fuzzer rarely finds a well-formed header in random bytes on its own.
std::vector<unsigned char> buildControl(FuzzedDataProvider &input) {
    std::vector<unsigned char> bytes;
    const int messages = input.ConsumeIntegralInRange<int>(0, 5);
    for (int m = 0; m < messages; m++) {
        size_t dataLength;
        switch (input.ConsumeIntegralInRange<int>(0, 4)) {
        case 0:
            dataLength = sizeof(int);
            break;
        case 1:
            dataLength = sizeof(int) * input.ConsumeIntegralInRange<size_t>(0, 6);
            break;
        case 2:
            dataLength = sizeof(sockaddr_in);
            break;
        default:
            dataLength = input.ConsumeIntegralInRange<size_t>(0, 40);
            break;
        }
        cmsghdr header{};
        switch (input.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
            header.cmsg_len = CMSG_LEN(dataLength);
            break;
        case 1:
            header.cmsg_len = input.ConsumeIntegralInRange<size_t>(0, 80);
            break;
        case 2:
            header.cmsg_len = input.ConsumeIntegral<size_t>();
            break;
        default:
            header.cmsg_len = CMSG_LEN(dataLength) + input.ConsumeIntegralInRange<size_t>(0, 9) - 4;
            break;
        }
        switch (input.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
            header.cmsg_level = SOL_SOCKET;
            header.cmsg_type = SCM_RIGHTS;
            break;
        case 1:
            header.cmsg_level = IPPROTO_IP;
            header.cmsg_type = IP_ORIGDSTADDR;
            break;
        case 2:
            header.cmsg_level = SOL_SOCKET;
            header.cmsg_type = input.ConsumeIntegral<int>();
            break;
        default:
            header.cmsg_level = input.ConsumeIntegral<int>();
            header.cmsg_type = input.ConsumeIntegral<int>();
            break;
        }
        const size_t start = bytes.size();
        bytes.resize(start + CMSG_SPACE(dataLength));
        std::memcpy(bytes.data() + start, &header, sizeof(header));
        std::vector<unsigned char> data = input.ConsumeBytes<unsigned char>(dataLength);
        if (dataLength >= sizeof(sockaddr_in) && input.ConsumeBool()) {
            // A plausible destination address now and then.
            sockaddr_in address{};
            address.sin_family = AF_INET;
            data.resize(dataLength);
            std::memcpy(data.data(), &address, offsetof(sockaddr_in, sin_port));
        }
        if (!data.empty()) {
            std::memcpy(CMSG_DATA(reinterpret_cast<cmsghdr *>(bytes.data() + start)), data.data(),
                        data.size() < dataLength ? data.size() : dataLength);
        }
    }
    // The length the kernel returned: the whole layout, or cut or extended a little.
    const int adjust = input.ConsumeIntegralInRange<int>(-12, 12);
    const size_t length = adjust < 0 && static_cast<size_t>(-adjust) > bytes.size() ? 0 : bytes.size() + adjust;
    bytes.resize(length);
    return bytes;
}

void checkDestination(const msghdr &message, const unsigned char *control, const std::vector<Visit> &visits) {
    sockaddr_storage destination;
    std::memset(&destination, 0xA5, sizeof(destination));
    const bool found = quarn::socket::findOriginalDestination(message, &destination);
    // The first destination message decides.
    sockaddr_storage expected{};
    bool expectFound = false;
    for (const Visit &visit : visits) {
        if (levelOf(control, visit) != IPPROTO_IP || typeOf(control, visit) != IP_ORIGDSTADDR) {
            continue;
        }
        if (visit.dataLength >= sizeof(sockaddr_in)) {
            sockaddr_in address;
            std::memcpy(&address, control + visit.offset + CMSG_LEN(0), sizeof(address));
            if (address.sin_family == AF_INET) {
                std::memcpy(&expected, &address, sizeof(address));
                expectFound = true;
            }
        }
        break;
    }
    require(found == expectFound, "destination found as the reference walk finds it");
    require(std::memcmp(&destination, &expected, sizeof(expected)) == 0, "destination is the message's address");
}

void checkPassedDescriptor(msghdr &message, unsigned char *control, const std::vector<Visit> &visits) {
    // Real descriptors into every slot of every SCM_RIGHTS message the walk should visit.
    gPool.clear();
    gClosed.clear();
    int expectedTaken = -1;
    const bool truncated = (message.msg_flags & MSG_CTRUNC) != 0;
    for (const Visit &visit : visits) {
        if (levelOf(control, visit) != SOL_SOCKET || typeOf(control, visit) != SCM_RIGHTS) {
            continue;
        }
        const bool single = visit.length == CMSG_LEN(sizeof(int));
        for (size_t i = 0; i < visit.dataLength / sizeof(int); i++) {
            const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
            require(fd >= 0, "open /dev/null");
            gPool.insert(fd);
            std::memcpy(control + visit.offset + CMSG_LEN(0) + i * sizeof(int), &fd, sizeof(int));
            if (expectedTaken < 0 && single && !truncated) {
                expectedTaken = fd;
            }
        }
    }
    int taken = -7;
    gRecording = true;
    const quarn::socket::Passed passed = quarn::socket::takePassedDescriptor(message, &taken);
    gRecording = false;

    const bool hasControl = message.msg_control != nullptr && message.msg_controllen >= sizeof(cmsghdr);
    if (expectedTaken >= 0) {
        require(passed == quarn::socket::Passed::Descriptor && taken == expectedTaken, "the first single descriptor");
    } else {
        require(passed == (hasControl || truncated ? quarn::socket::Passed::Unusable
                                                   : quarn::socket::Passed::NoControl),
                "no usable descriptor");
        require(taken == -7, "nothing stored without a descriptor");
    }
    // Every other descriptor that arrived is closed, once each; the taken one is open.
    std::multiset<int> closed(gClosed.begin(), gClosed.end());
    for (int fd : gPool) {
        if (fd == expectedTaken) {
            require(closed.count(fd) == 0 && fcntl(fd, F_GETFD) >= 0, "the taken descriptor stays open");
            __real_close(fd);
        } else {
            require(closed.count(fd) == 1, "every other descriptor closed exactly once");
        }
    }
    require(closed.size() == gPool.size() - (expectedTaken >= 0 ? 1 : 0), "no extra close");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider input(data, size);
    const bool nullControl = input.ConsumeIntegralInRange<int>(0, 15) == 0;
    const int flags = input.ConsumeBool() ? MSG_CTRUNC : 0;
    std::vector<unsigned char> layout = buildControl(input);

    // Exactly the returned length on the heap (malloc aligns it for the headers).
    const size_t controlLength = layout.size();
    auto *control = static_cast<unsigned char *>(std::malloc(controlLength == 0 ? 1 : controlLength));
    if (controlLength > 0) {
        std::memcpy(control, layout.data(), controlLength);
    }

    msghdr message{};
    message.msg_control = nullControl ? nullptr : control;
    message.msg_controllen = controlLength;
    message.msg_flags = flags;

    const std::vector<Visit> visits = referenceWalk(nullControl ? nullptr : control, controlLength);
    std::vector<Visit> walked;
    quarn::socket::walkControlMessages(message, [&](const cmsghdr &header, const unsigned char *bytes,
                                                    size_t dataLength) {
        const size_t offset = static_cast<size_t>(reinterpret_cast<const unsigned char *>(&header) - control);
        require(bytes == control + offset + CMSG_LEN(0), "data follows its header");
        walked.push_back({offset, header.cmsg_len, dataLength});
        return true;
    });
    require(walked.size() == visits.size(), "the walk visits what the reference visits");
    for (size_t i = 0; i < visits.size(); i++) {
        require(walked[i].offset == visits[i].offset && walked[i].length == visits[i].length &&
                    walked[i].dataLength == visits[i].dataLength,
                "the same messages in the same order");
        require(visits[i].offset + visits[i].length <= controlLength, "a visited message lies inside the data");
    }

    checkDestination(message, control, visits);
    checkPassedDescriptor(message, control, visits);
    std::free(control);
    return 0;
}

// The Linux kqueue layer against raw epoll on the same machine, in one run:
//
//   - one ready descriptor among 10 and among 10,000 idle ones: the cost of a wait that
//     returns one event must not grow with the number of registered, idle descriptors; the
//     level wait also against epoll plus the FIONREAD that fills the event's data, which is the
//     system call the layer adds to a level wait;
//   - trigger-to-wake latency: a user event fired from another thread against an eventfd
//     written from another thread, as a ping-pong between two threads.
//
// At the end it prints each layer/epoll ratio. Run: build/release/bench/quarn_kqueue_layer_bench
// (--benchmark_repetitions=5 compares medians, steadier on a shared machine).
#include <benchmark/benchmark.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/event.h"

namespace {

namespace kq = quarn::platform;

// The idle descriptors: eventfds that never become readable.
std::vector<int> idleDescriptors(int count) {
    std::vector<int> fds;
    for (int i = 0; i < count; i++) {
        int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (fd < 0) {
            break;
        }
        fds.push_back(fd);
    }
    return fds;
}

void closeAll(const std::vector<int> &fds) {
    for (int fd : fds) {
        kq::descriptorClosing(fd);
        close(fd);
    }
}

// A local stream socket with one unread byte, and its peer: readable until someone reads.
struct ReadyPair {
    int fds[2] = {-1, -1};
    ReadyPair() {
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) == 0) {
            benchmark::DoNotOptimize(write(fds[1], "x", 1));
        }
    }
    ~ReadyPair() {
        for (int fd : fds) {
            kq::descriptorClosing(fd);
            close(fd);
        }
    }
    int ready() const { return fds[0]; }
    // For the edge-triggered runs: one more byte, then take it back after the wait.
    void poke() const { benchmark::DoNotOptimize(write(fds[1], "y", 1)); }
    void drain() const {
        char byte;
        benchmark::DoNotOptimize(read(fds[0], &byte, 1));
    }
};

// One ready descriptor among `idle` idle ones. Level: the knote stays ready and every wait
// reports it (the layer puts it back in its ready queue and re-checks it with the FIONREAD that
// fills data). Edge (EV_CLEAR against
// EPOLLET): each iteration writes a byte, waits for it and reads it back, on both sides.
void layerOneReady(benchmark::State &state, bool level) {
    const int idle = static_cast<int>(state.range(0));
    int kq = kq::kqueue();
    std::vector<int> fds = idleDescriptors(idle);
    ReadyPair pair;
    if (static_cast<int>(fds.size()) < idle || kq < 0 || pair.ready() < 0) {
        state.SkipWithError("not enough descriptors");
        closeAll(fds);
        return;
    }
    std::vector<struct kevent> changes;
    for (int fd : fds) {
        struct kevent change {};
        change.ident = fd;
        change.filter = EVFILT_READ;
        change.flags = EV_ADD | EV_CLEAR;
        changes.push_back(change);
    }
    struct kevent change {};
    change.ident = pair.ready();
    change.filter = EVFILT_READ;
    change.flags = level ? EV_ADD : EV_ADD | EV_CLEAR;
    changes.push_back(change);
    kq::kevent(kq, changes.data(), static_cast<int>(changes.size()), nullptr, 0, nullptr);
    struct kevent events[64];
    struct timespec zero {};
    if (!level) {
        kq::kevent(kq, nullptr, 0, events, 64, &zero);  // the byte already there
    }
    for (auto _ : state) {
        if (!level) {
            pair.poke();
        }
        int n = kq::kevent(kq, nullptr, 0, events, 64, &zero);
        if (n != 1) {
            state.SkipWithError("expected one event");
            break;
        }
        benchmark::DoNotOptimize(events[0].data);
        if (!level) {
            pair.drain();
        }
    }
    closeAll(fds);
    kq::descriptorClosing(kq);
    close(kq);
}

// measure: the FIONREAD the layer makes for an event's data, so that the layer's own cost shows.
void epollOneReady(benchmark::State &state, bool level, bool measure = false) {
    const int idle = static_cast<int>(state.range(0));
    int ep = epoll_create1(EPOLL_CLOEXEC);
    std::vector<int> fds = idleDescriptors(idle);
    ReadyPair pair;
    if (static_cast<int>(fds.size()) < idle || ep < 0 || pair.ready() < 0) {
        state.SkipWithError("not enough descriptors");
        closeAll(fds);
        return;
    }
    for (int fd : fds) {
        struct epoll_event event {};
        event.events = EPOLLIN | EPOLLET;
        event.data.fd = fd;
        epoll_ctl(ep, EPOLL_CTL_ADD, fd, &event);
    }
    struct epoll_event event {};
    event.events = level ? EPOLLIN : EPOLLIN | EPOLLET;
    event.data.fd = pair.ready();
    epoll_ctl(ep, EPOLL_CTL_ADD, pair.ready(), &event);
    struct epoll_event events[64];
    if (!level) {
        epoll_wait(ep, events, 64, 0);
    }
    for (auto _ : state) {
        if (!level) {
            pair.poke();
        }
        int n = epoll_wait(ep, events, 64, 0);
        if (n != 1) {
            state.SkipWithError("expected one event");
            break;
        }
        int readyFd = events[0].data.fd;
        benchmark::DoNotOptimize(readyFd);
        if (measure) {
            int bytes = 0;
            benchmark::DoNotOptimize(ioctl(readyFd, FIONREAD, &bytes));
        }
        if (!level) {
            pair.drain();
        }
    }
    closeAll(fds);
    close(ep);
}

void LayerLevel(benchmark::State &state) { layerOneReady(state, true); }
void EpollLevel(benchmark::State &state) { epollOneReady(state, true); }
void EpollLevelMeasured(benchmark::State &state) { epollOneReady(state, true, true); }
void LayerClear(benchmark::State &state) { layerOneReady(state, false); }
void EpollEdge(benchmark::State &state) { epollOneReady(state, false); }

// Ping-pong: the benchmark thread fires the partner's event and waits for the partner to fire
// its own back. One iteration is two trigger-to-wake trips.
void LayerWakeLatency(benchmark::State &state) {
    int mine = kq::kqueue();
    int theirs = kq::kqueue();
    struct kevent add {};
    add.filter = EVFILT_USER;
    add.flags = EV_ADD | EV_CLEAR;
    add.ident = 1;
    kq::kevent(mine, &add, 1, nullptr, 0, nullptr);
    kq::kevent(theirs, &add, 1, nullptr, 0, nullptr);
    struct kevent trigger {};
    trigger.filter = EVFILT_USER;
    trigger.ident = 1;
    trigger.fflags = NOTE_TRIGGER;
    std::atomic<bool> stop{false};
    std::thread partner([&] {
        struct kevent event;
        while (!stop.load(std::memory_order_relaxed)) {
            if (kq::kevent(theirs, nullptr, 0, &event, 1, nullptr) == 1 && event.ident == 1) {
                kq::kevent(mine, &trigger, 1, nullptr, 0, nullptr);
            }
        }
    });
    struct kevent event;
    for (auto _ : state) {
        kq::kevent(theirs, &trigger, 1, nullptr, 0, nullptr);
        while (kq::kevent(mine, nullptr, 0, &event, 1, nullptr) != 1) {
        }
    }
    stop = true;
    kq::kevent(theirs, &trigger, 1, nullptr, 0, nullptr);
    partner.join();
    kq::descriptorClosing(mine);
    close(mine);
    kq::descriptorClosing(theirs);
    close(theirs);
}

void EpollWakeLatency(benchmark::State &state) {
    int mine = epoll_create1(EPOLL_CLOEXEC);
    int theirs = epoll_create1(EPOLL_CLOEXEC);
    int mineFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    int theirFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    // Edge-triggered: every write is an edge, so nothing need read the counter back. The least
    // one wake can cost, the bound for the layer's user event.
    struct epoll_event event {};
    event.events = EPOLLIN | EPOLLET;
    epoll_ctl(mine, EPOLL_CTL_ADD, mineFd, &event);
    epoll_ctl(theirs, EPOLL_CTL_ADD, theirFd, &event);
    std::atomic<bool> stop{false};
    std::thread partner([&] {
        struct epoll_event ready;
        uint64_t value;
        while (!stop.load(std::memory_order_relaxed)) {
            if (epoll_wait(theirs, &ready, 1, -1) == 1) {
                value = 1;
                benchmark::DoNotOptimize(write(mineFd, &value, sizeof value));
            }
        }
    });
    struct epoll_event ready;
    uint64_t value = 1;
    for (auto _ : state) {
        value = 1;
        benchmark::DoNotOptimize(write(theirFd, &value, sizeof value));
        while (epoll_wait(mine, &ready, 1, -1) != 1) {
        }
    }
    stop = true;
    value = 1;
    benchmark::DoNotOptimize(write(theirFd, &value, sizeof value));
    partner.join();
    close(mineFd);
    close(theirFd);
    close(mine);
    close(theirs);
}

BENCHMARK(LayerLevel)->Arg(10)->Arg(10000);
BENCHMARK(EpollLevel)->Arg(10)->Arg(10000);
BENCHMARK(EpollLevelMeasured)->Arg(10);
BENCHMARK(LayerClear)->Arg(10)->Arg(10000);
BENCHMARK(EpollEdge)->Arg(10)->Arg(10000);
BENCHMARK(LayerWakeLatency)->UseRealTime();
BENCHMARK(EpollWakeLatency)->UseRealTime();

// Keeps each run's time per iteration so that the ratios can be printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            if (run.error_occurred) {
                continue;
            }
            // With --benchmark_repetitions the median stands for the benchmark; otherwise the
            // single run does.
            std::string name = run.benchmark_name();
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (median) {
                name = run.run_name.str();
            } else if (run.run_type != Run::RT_Iteration || medians_.count(name) != 0) {
                continue;
            }
            // Single-threaded waits are compared on CPU time, which a busy machine disturbs
            // less; the ping-pong on wall time, which is what a woken thread sees.
            times_[name] =
                name.find("real_time") != std::string::npos ? run.GetAdjustedRealTime() : run.GetAdjustedCPUTime();
            cpuTimes_[name] = run.GetAdjustedCPUTime();
            if (median) {
                medians_.insert(name);
            }
        }
    }

    void printRatios() const {
        std::printf("\nkqueue layer / raw epoll (CPU time per wait; wall time per ping-pong):\n");
        const char *pairs[][3] = {
            {"LayerLevel/10", "EpollLevel/10", "level, one ready among 10"},
            {"LayerLevel/10000", "EpollLevel/10000", "level, one ready among 10,000"},
            {"LayerLevel/10", "EpollLevelMeasured/10", "level + FIONREAD, among 10"},
            {"LayerClear/10", "EpollEdge/10", "edge, one ready among 10"},
            {"LayerClear/10000", "EpollEdge/10000", "edge, one ready among 10,000"},
            {"LayerWakeLatency/real_time", "EpollWakeLatency/real_time", "trigger-to-wake ping-pong"},
        };
        for (auto &pair : pairs) {
            auto layer = times_.find(pair[0]);
            auto epoll = times_.find(pair[1]);
            if (layer != times_.end() && epoll != times_.end() && epoll->second > 0) {
                std::printf("  %-32s %8.0f ns vs %8.0f ns: %.2fx\n", pair[2], layer->second, epoll->second,
                            layer->second / epoll->second);
            }
        }
        // The waker's own CPU time per round trip, steadier than the wall time on a busy machine.
        auto layerCpu = cpuTimes_.find("LayerWakeLatency/real_time");
        auto epollCpu = cpuTimes_.find("EpollWakeLatency/real_time");
        if (layerCpu != cpuTimes_.end() && epollCpu != cpuTimes_.end() && epollCpu->second > 0) {
            std::printf("  %-32s %8.0f ns vs %8.0f ns: %.2fx (CPU)\n", "trigger-to-wake ping-pong", layerCpu->second,
                        epollCpu->second, layerCpu->second / epollCpu->second);
        }
        for (const char *name : {"LayerLevel", "LayerClear"}) {
            auto small = times_.find(std::string(name) + "/10");
            auto large = times_.find(std::string(name) + "/10000");
            if (small != times_.end() && large != times_.end() && small->second > 0) {
                std::printf("  %s wait, 10,000 idle / 10 idle: %.2fx\n", name, large->second / small->second);
            }
        }
    }

  private:
    std::map<std::string, double> times_;
    std::map<std::string, double> cpuTimes_;
    std::set<std::string> medians_;
};

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printRatios();
    benchmark::Shutdown();
    return 0;
}

// The memory of a kqueue, where its knotes live while the ready queue links them: pages of
// descriptor entries and the table of user knotes, both
// allocated as registrations need them and given back as they go, so that a kqueue costs what
// is registered in it rather than what the highest descriptor number is. Every allocation is
// counted and none throws: running out of memory is ENOMEM for the change that needed it.
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <new>

#include "platform/linux/kqueue_state.h"

namespace quarn::platform::kq {
namespace {

// 64 entries a page: a server's descriptors are dense, so pages fill, and one registration far
// from the others costs one page and a pointer per 64 numbers below it.
constexpr int kPageBits = 6;
constexpr int kPageSize = 1 << kPageBits;

std::atomic<size_t> held{0};

bool inUse(const FdEntry &entry) {
    return entry.mask != 0 || entry.read.present || entry.write.present || entry.read.link.queued ||
           entry.write.link.queued;
}

uint32_t slotOf(uint64_t ident, uint32_t capacity) {
    return static_cast<uint32_t>((ident * 0x9E3779B97F4A7C15ull) >> 32) & (capacity - 1);
}

// Twice the slots (or 8), every knote moved over; false when memory runs out.
bool growUsers(UserTable &table) {
    const uint32_t capacity = table.capacity == 0 ? 8 : table.capacity * 2;
    auto *slots = static_cast<UserKnote **>(allocateZeroed(capacity * sizeof(UserKnote *)));
    if (slots == nullptr) {
        return false;
    }
    for (uint32_t i = 0; i < table.capacity; i++) {
        if (UserKnote *knote = table.slots[i]; knote != nullptr) {
            uint32_t slot = slotOf(knote->ident, capacity);
            while (slots[slot] != nullptr) {
                slot = (slot + 1) & (capacity - 1);
            }
            slots[slot] = knote;
        }
    }
    release(table.slots, table.capacity * sizeof(UserKnote *));
    table.slots = slots;
    table.capacity = capacity;
    return true;
}

// Destroys and gives back every element of an array of pointers, then the array.
template <typename T>
void releaseAll(T **items, uint32_t count) {
    for (uint32_t i = 0; i < count; i++) {
        if (items[i] != nullptr) {
            items[i]->~T();
            release(items[i], sizeof(T));
        }
    }
    release(items, count * sizeof(T *));
}

}  // namespace

struct FdPage {
    FdEntry entries[kPageSize];
    uint32_t inUse = 0;
};

void *allocateZeroed(size_t bytes) {
    void *memory = std::calloc(1, bytes);
    if (memory == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    held.fetch_add(bytes, std::memory_order_relaxed);
    return memory;
}

void release(void *memory, size_t bytes) {
    if (memory != nullptr) {
        held.fetch_sub(bytes, std::memory_order_relaxed);
        std::free(memory);
    }
}

size_t heldBytes() { return held.load(std::memory_order_relaxed); }

FdEntry *findEntry(State &state, int fd) {
    const uint32_t page = static_cast<uint32_t>(fd) >> kPageBits;
    if (fd < 0 || page >= state.fds.pageCount || state.fds.pages[page] == nullptr) {
        return nullptr;
    }
    return &state.fds.pages[page]->entries[fd & (kPageSize - 1)];
}

FdEntry *obtainEntry(State &state, int fd) {
    if (fd < 0) {
        return nullptr;
    }
    FdTable &table = state.fds;
    const uint32_t page = static_cast<uint32_t>(fd) >> kPageBits;
    if (page >= table.pageCount) {
        uint32_t count = table.pageCount < 16 ? 16 : table.pageCount;
        while (count <= page) {
            count *= 2;
        }
        auto *pages = static_cast<FdPage **>(allocateZeroed(count * sizeof(FdPage *)));
        if (pages == nullptr) {
            return nullptr;
        }
        for (uint32_t i = 0; i < table.pageCount; i++) {
            pages[i] = table.pages[i];
        }
        release(table.pages, table.pageCount * sizeof(FdPage *));
        table.pages = pages;
        table.pageCount = count;
    }
    if (table.pages[page] == nullptr) {
        void *memory = allocateZeroed(sizeof(FdPage));
        if (memory == nullptr) {
            if (table.pagesInUse == 0) {
                clearEntries(state);
            }
            return nullptr;
        }
        table.pages[page] = new (memory) FdPage{};
        table.pagesInUse++;
    }
    return &table.pages[page]->entries[fd & (kPageSize - 1)];
}

void settleEntry(State &state, int fd) {
    FdEntry *entry = findEntry(state, fd);
    if (entry == nullptr) {
        return;
    }
    FdTable &table = state.fds;
    const uint32_t index = static_cast<uint32_t>(fd) >> kPageBits;
    FdPage *page = table.pages[index];
    if (inUse(*entry) != entry->counted) {
        entry->counted = !entry->counted;
        if (entry->counted) {
            page->inUse++;
            return;
        }
        page->inUse--;
    }
    // Also a page that a refused change obtained and never used: nothing outlives the change.
    if (page->inUse == 0) {
        table.pages[index] = nullptr;
        page->~FdPage();
        release(page, sizeof(FdPage));
        // The last page gone: the directory too, so that an empty kqueue holds nothing.
        if (--table.pagesInUse == 0) {
            release(table.pages, table.pageCount * sizeof(FdPage *));
            table = FdTable{};
        }
    }
}

void resetEntry(State &, FdEntry &entry) {
    dequeue(entry.read.link);
    dequeue(entry.write.link);
    const bool counted = entry.counted;
    entry = FdEntry{};
    entry.counted = counted;
}

void clearEntries(State &state) {
    releaseAll(state.fds.pages, state.fds.pageCount);
    state.fds = FdTable{};
}

UserKnote *findUser(State &state, uint64_t ident) {
    const UserTable &table = state.users;
    if (table.count == 0) {
        return nullptr;
    }
    for (uint32_t slot = slotOf(ident, table.capacity);; slot = (slot + 1) & (table.capacity - 1)) {
        UserKnote *knote = table.slots[slot];
        if (knote == nullptr || knote->ident == ident) {
            return knote;
        }
    }
}

UserKnote *insertUser(State &state, uint64_t ident) {
    UserTable &table = state.users;
    // At most half full, so that probes stay short and always end at an empty slot.
    if ((table.count + 1) * 2 > table.capacity && !growUsers(table)) {
        return nullptr;
    }
    void *memory = allocateZeroed(sizeof(UserKnote));
    if (memory == nullptr) {
        if (table.count == 0) {
            clearUsers(state);
        }
        return nullptr;
    }
    auto *knote = new (memory) UserKnote{};
    knote->link.kind = LinkKind::User;
    knote->ident = ident;
    uint32_t slot = slotOf(ident, table.capacity);
    while (table.slots[slot] != nullptr) {
        slot = (slot + 1) & (table.capacity - 1);
    }
    table.slots[slot] = knote;
    table.count++;
    return knote;
}

void eraseUser(State &state, UserKnote *knote) {
    dequeue(knote->link);
    UserTable &table = state.users;
    const uint32_t mask = table.capacity - 1;
    uint32_t hole = slotOf(knote->ident, table.capacity);
    while (table.slots[hole] != knote) {
        hole = (hole + 1) & mask;
    }
    // Linear probing without tombstones: move back every later knote of the run that the hole
    // would otherwise cut off from its home slot.
    for (uint32_t next = (hole + 1) & mask; table.slots[next] != nullptr; next = (next + 1) & mask) {
        const uint32_t home = slotOf(table.slots[next]->ident, table.capacity);
        if (((next - home) & mask) >= ((next - hole) & mask)) {
            table.slots[hole] = table.slots[next];
            hole = next;
        }
    }
    table.slots[hole] = nullptr;
    table.count--;
    knote->~UserKnote();
    release(knote, sizeof(UserKnote));
    if (table.count == 0) {
        clearUsers(state);
    }
}

void clearUsers(State &state) {
    releaseAll(state.users.slots, state.users.capacity);
    state.users = UserTable{};
}

}  // namespace quarn::platform::kq

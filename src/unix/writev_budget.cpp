#include "unix/writev_budget.h"

#include <limits>

namespace quarn::fd {

int vectorEntries(int32_t requested, int maxEntries) {
    if (requested < 0) {
        return -1;
    }
    return requested < maxEntries ? requested : maxEntries;
}

int64_t budgetAfterFirst(int64_t maxBytes, int64_t firstLength) {
    int64_t budget;
    if (__builtin_sub_overflow(maxBytes, firstLength, &budget)) {
        return firstLength > 0 ? std::numeric_limits<int64_t>::min() : std::numeric_limits<int64_t>::max();
    }
    return budget;
}

bool takeWithinBudget(int64_t *budget, int64_t length) {
    if (length < 0 || length > *budget) {
        return false;
    }
    *budget -= length;
    return true;
}

}  // namespace quarn::fd

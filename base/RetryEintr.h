// One rule for blocking system calls: a call that a signal interrupts is made again.
#pragma once

#include <cerrno>

namespace quarrow {

// Calls `call` until it does not fail with a negative result and errno EINTR; returns the result.
template <typename Call> auto RetryOnEintr(Call&& call) {
    for (;;) {
        const auto result = call();
        if (!(result < 0 && errno == EINTR))
            return result;
    }
}

} // namespace quarrow

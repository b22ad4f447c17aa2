#include "quiet_time.h"

#include <poll.h>

#include "sleep_ms.h"

bool QuietTimeOver(int fd, std::chrono::steady_clock::time_point last_chunk) {
    using namespace std::chrono;
    const nanoseconds left = last_chunk + kQuietTime - steady_clock::now();
    if (left <= nanoseconds::zero()) {
        return true;
    }
    pollfd port = {fd, POLLIN, 0};
    const timespec timeout = {static_cast<time_t>(duration_cast<seconds>(left).count()),
                              static_cast<long>((left % seconds(1)).count())};
    const int ready = ppoll(&port, 1, &timeout, nullptr);
    if (ready == 0) {
        return true;
    }
    if (ready > 0 && (port.revents & POLLIN) == 0) {
        SleepMs(1);  // hung up or failing: nothing to wait for, but don't spin
    }
    return false;
}

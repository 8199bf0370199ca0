#include "port/LocalTime.h"

#include <ctime>
#include <sys/time.h>

namespace port {

LocalTime GetLocalTime() {
    timeval now{};
    ::gettimeofday(&now, nullptr);
    std::tm parts{};
    const std::time_t seconds = now.tv_sec;
    ::localtime_r(&seconds, &parts);
    LocalTime t;
    t.year = parts.tm_year + 1900;
    t.month = parts.tm_mon + 1;
    t.day = parts.tm_mday;
    t.hour = parts.tm_hour;
    t.minute = parts.tm_min;
    t.second = parts.tm_sec;
    t.milliseconds = static_cast<int>(now.tv_usec / 1000);
    return t;
}

} // namespace port

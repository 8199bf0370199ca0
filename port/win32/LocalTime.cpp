#include "port/LocalTime.h"

#include <windows.h>

namespace port {

LocalTime GetLocalTime() {
    SYSTEMTIME s;
    ::GetLocalTime(&s);
    LocalTime t;
    t.year = s.wYear;
    t.month = s.wMonth;
    t.day = s.wDay;
    t.hour = s.wHour;
    t.minute = s.wMinute;
    t.second = s.wSecond;
    t.milliseconds = s.wMilliseconds;
    return t;
}

} // namespace port

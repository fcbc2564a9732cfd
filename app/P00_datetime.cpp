#include "app/P00_datetime.h"

#include <sys/time.h>

#include <cstdio>
#include <ctime>

namespace velbrin {

namespace {

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

// Days from 1970-01-01 of a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

}  // namespace

DateTime DateTime::Now() {
    struct timeval tv {};
    ::gettimeofday(&tv, nullptr);
    struct tm lt {};
    time_t secs = tv.tv_sec;
    ::localtime_r(&secs, &lt);
    DateTime dt;
    dt.year = lt.tm_year + 1900;
    dt.month = lt.tm_mon + 1;
    dt.day = lt.tm_mday;
    dt.hour = lt.tm_hour;
    dt.minute = lt.tm_min;
    dt.second = lt.tm_sec;
    dt.millisecond = static_cast<int>(tv.tv_usec / 1000);
    return dt;
}

DateTime DateTime::Zero() { return DateTime{}; }

bool DateTime::TryMake(int y, int m, int d, int h, int n, int s, int ms, DateTime& out) {
    if (y < 1 || y > 9999 || m < 1 || m > 12 || d < 1 || d > DaysInMonth(y, m)) return false;
    if (h < 0 || h > 23 || n < 0 || n > 59 || s < 0 || s > 59 || ms < 0 || ms > 999) return false;
    out = DateTime{y, m, d, h, n, s, ms};
    return true;
}

bool DateTime::IsZero() const { return *this == Zero(); }

std::string DateTime::ZetStamp() const {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", year, month, day, hour, minute, second);
    return buf;
}

std::string DateTime::TranStamp() const {
    char buf[16];
    std::snprintf(buf, sizeof buf, ":%03d", millisecond);
    return ZetStamp() + buf;
}

int64_t DateTime::TotalMilliseconds() const {
    int64_t days = DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) -
                   DaysFromCivil(1899, 12, 30);
    return ((days * 24 + hour) * 60 + minute) * 60000LL + second * 1000LL + millisecond;
}

}  // namespace velbrin

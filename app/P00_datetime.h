// Local date and time as the link uses it: transaction stamps (PC clock, 23
// characters), closing stamps (printer clock, 19 characters) and the zero
// date-time 1899-12-30 00:00:00 that stands for "no valid time".
#pragma once

#include <cstdint>
#include <string>

namespace velbrin {

struct DateTime {
    int year = 1899, month = 12, day = 30;
    int hour = 0, minute = 0, second = 0, millisecond = 0;

    static DateTime Now();   // local time of the computer
    static DateTime Zero();  // 1899-12-30 00:00:00
    // A valid calendar date and time of day, or false.
    static bool TryMake(int y, int m, int d, int h, int n, int s, int ms, DateTime& out);

    bool IsZero() const;
    // "yyyy-mm-dd hh:nn:ss"
    std::string ZetStamp() const;
    // "yyyy-mm-dd hh:nn:ss:" followed by the milliseconds as "%03d"
    std::string TranStamp() const;
    // Milliseconds since 1899-12-30 00:00:00; used for differences only.
    int64_t TotalMilliseconds() const;

    bool operator==(const DateTime&) const = default;
};

}  // namespace velbrin

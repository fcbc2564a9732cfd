// The highest receipt and day numbers the link has given, kept outside the
// database (OtherDir/Issued.numbers), so that a start can tell a database put
// back from an older copy: it would give those numbers a second time.
#pragma once

#include <cstdint>
#include <string>

namespace velbrin {

class TIniLink;

class TIssuedNumbers {
public:
    struct Numbers {
        int64_t bon = 0;  // receipt number (bon_id)
        int64_t day = 0;  // day number (zet_id)
        bool known = false;  // false: no record yet (a new installation, or one from before the record)
    };

    explicit TIssuedNumbers(const TIniLink& ini) : ini_(ini) {}

    Numbers Recorded() const;
    // Written after the database has the numbers: the record never runs ahead
    // of a database that is whole. Keeps the higher of each, a line appended
    // and synced; raises LinkError when the record cannot be written.
    void Raise(int64_t bon, int64_t day);
    std::string Path() const;

private:
    const TIniLink& ini_;
};

}  // namespace velbrin

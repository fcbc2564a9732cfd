#include "app/P00_money.h"

#include "app/P00_util.h"

#include <limits>

namespace velbrin {

namespace {

constexpr int64_t kPow10[] = {1, 10, 100, 1000, 10000};

bool ParseDigits(std::string_view t, Money& out) {
    std::size_t i = 0;
    bool neg = false;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) {
        neg = t[i] == '-';
        ++i;
    }
    unsigned __int128 whole = 0;
    int digits = 0, groupLen = 0;
    bool grouped = false;
    for (; i < t.size() && t[i] != '.'; ++i) {
        char c = t[i];
        if (c == ',') {
            // thousands separator: only after 1..3 digits first, exactly 3 later
            if (digits == 0 || (grouped && groupLen != 3) || (!grouped && groupLen > 3)) return false;
            grouped = true;
            groupLen = 0;
            continue;
        }
        if (c < '0' || c > '9') return false;
        whole = whole * 10 + static_cast<unsigned>(c - '0');
        if (whole > static_cast<unsigned __int128>(std::numeric_limits<int64_t>::max() / Money::kScale)) return false;
        ++digits;
        ++groupLen;
    }
    if (grouped && groupLen != 3) return false;
    int64_t frac = 0;
    int fracDigits = 0;
    bool roundUp = false;
    if (i < t.size()) {  // t[i] == '.'
        ++i;
        for (; i < t.size(); ++i) {
            char c = t[i];
            if (c < '0' || c > '9') return false;
            if (fracDigits < 4) {
                frac = frac * 10 + (c - '0');
            } else if (fracDigits == 4) {
                roundUp = c >= '5';
            }
            ++fracDigits;
        }
    }
    if (digits == 0 && fracDigits == 0) return false;
    __int128 raw = static_cast<__int128>(whole) * Money::kScale + frac * kPow10[4 - std::min(fracDigits, 4)];
    if (roundUp) ++raw;
    if (neg) raw = -raw;
    // the largest whole part still leaves room for decimals that would not fit
    if (raw > std::numeric_limits<int64_t>::max() || raw < std::numeric_limits<int64_t>::min()) return false;
    out = Money::FromRaw(static_cast<int64_t>(raw));
    return true;
}

std::string FormatImpl(int64_t raw, int decimals, bool thousands) {
    if (decimals < 0) decimals = 0;
    if (decimals > 4) decimals = 4;
    bool neg = raw < 0;
    unsigned __int128 mag = neg ? static_cast<unsigned __int128>(-(raw + 1)) + 1 : static_cast<unsigned __int128>(raw);
    int64_t unit = kPow10[4 - decimals];
    mag = (mag + unit / 2) / unit;  // half away from zero
    unsigned __int128 scale = static_cast<unsigned __int128>(kPow10[decimals]);
    unsigned __int128 whole = mag / scale;
    unsigned __int128 frac = mag % scale;
    std::string w;
    do {
        w.insert(w.begin(), static_cast<char>('0' + static_cast<int>(whole % 10)));
        whole /= 10;
    } while (whole > 0);
    if (thousands) {
        for (int pos = static_cast<int>(w.size()) - 3; pos > 0; pos -= 3) w.insert(static_cast<std::size_t>(pos), 1, ',');
    }
    std::string out = (neg && mag != 0) ? "-" + w : w;
    if (decimals > 0) {
        std::string f(static_cast<std::size_t>(decimals), '0');
        for (int k = decimals - 1; k >= 0; --k) {
            f[static_cast<std::size_t>(k)] = static_cast<char>('0' + static_cast<int>(frac % 10));
            frac /= 10;
        }
        out += "." + f;
    }
    return out;
}

}  // namespace

bool Money::TryParse(std::string_view text, Money& out) {
    std::string t = Trim(text);
    return !t.empty() && ParseDigits(t, out);
}

Money Money::Parse(std::string_view text) {
    Money m;
    if (!TryParse(text, m)) throw LinkError("'" + std::string(text) + "' is not a valid number");
    return m;
}

std::string Money::Format(int decimals) const { return FormatImpl(raw_, decimals, false); }

std::string Money::FormatThousands(int decimals) const { return FormatImpl(raw_, decimals, true); }

Money Money::MulTrunc(Money other) const {
    __int128 p = static_cast<__int128>(raw_) * other.raw_;
    return Money(static_cast<int64_t>(p / kScale));
}

}  // namespace velbrin

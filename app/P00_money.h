// Fixed-point money: a signed 64-bit count of ten-thousandths. Prices, amounts,
// quantities, change and totals all use it; no floating point on the way.
#pragma once

#include <compare>
#include <cstdint>
#include <string>
#include <string_view>

namespace velbrin {

class Money {
public:
    static constexpr int64_t kScale = 10000;

    constexpr Money() = default;
    static constexpr Money FromRaw(int64_t tenThousandths) { return Money(tenThousandths); }
    static constexpr Money FromUnits(int64_t units) { return Money(units * kScale); }
    // The printer reports amounts in whole hundredths.
    static constexpr Money FromHundredths(int64_t hundredths) { return Money(hundredths * 100); }

    constexpr int64_t Raw() const { return raw_; }

    // Decimal text with "." as decimal separator; "," is accepted only as a thousands
    // separator between groups of three digits. Surrounding blanks and a sign are allowed.
    // More than four decimals are rounded half away from zero. Raises LinkError
    // "'text' is not a valid number" otherwise.
    static Money Parse(std::string_view text);
    static bool TryParse(std::string_view text, Money& out);

    // Fixed text with the given number of decimals (0..4), "." as separator, no
    // thousands separator, rounded half away from zero: Format(2) of 12.5 is "12.50".
    std::string Format(int decimals) const;
    // The same with "," between groups of three digits: 1,234.50.
    std::string FormatThousands(int decimals) const;

    // Product of two amounts cut (truncated toward zero) to four decimals.
    Money MulTrunc(Money other) const;
    // Whole part of the value, truncated toward zero.
    int64_t TruncUnits() const { return raw_ / kScale; }
    Money Abs() const { return Money(raw_ < 0 ? -raw_ : raw_); }
    double ToDouble() const { return static_cast<double>(raw_) / kScale; }

    constexpr Money operator-() const { return Money(-raw_); }
    constexpr Money operator+(Money o) const { return Money(raw_ + o.raw_); }
    constexpr Money operator-(Money o) const { return Money(raw_ - o.raw_); }
    Money& operator+=(Money o) { raw_ += o.raw_; return *this; }
    Money& operator-=(Money o) { raw_ -= o.raw_; return *this; }
    constexpr auto operator<=>(const Money&) const = default;

private:
    constexpr explicit Money(int64_t raw) : raw_(raw) {}
    int64_t raw_ = 0;
};

}  // namespace velbrin

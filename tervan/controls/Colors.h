#pragma once

#include <QColor>

#include <cstdint>

// System colour indices, numbered as the Windows user interface numbers them, so
// that a value written by the panel means the same thing on every platform.
// COLOR_INACTIVECAPTION, COLOR_WINDOWTEXT, COLOR_BTNFACE and COLOR_INFOBK are
// used by the panel; the others give the classic look of a disabled button.
#ifndef COLOR_BTNFACE
enum : int {
    COLOR_INACTIVECAPTION = 3,
    COLOR_WINDOWTEXT = 8,
    COLOR_BTNFACE = 15,
    COLOR_BTNSHADOW = 16,
    COLOR_GRAYTEXT = 17,
    COLOR_BTNHIGHLIGHT = 20,
    COLOR_3DDKSHADOW = 21,
    COLOR_3DLIGHT = 22,
    COLOR_INFOBK = 24,
};
#endif

// A colour of the panel: a 32-bit value that is either an explicit colour
// (red in the low byte, then green, then blue, high byte 0) or a system colour
// (high bit set, index in the low byte). A system colour is looked up only when
// it is drawn, through toQColor().
class TColor
{
public:
    constexpr TColor() = default;

    static constexpr TColor rgb(std::uint8_t red, std::uint8_t green, std::uint8_t blue)
    {
        return TColor(std::uint32_t(red) | std::uint32_t(green) << 8 | std::uint32_t(blue) << 16);
    }
    static constexpr TColor system(int index)
    {
        return TColor(systemFlag | (std::uint32_t(index) & 0xFFu));
    }
    static constexpr TColor fromValue(std::uint32_t value) { return TColor(value); }

    constexpr std::uint32_t value() const { return m_value; }
    constexpr bool isSystem() const { return (m_value & systemFlag) != 0; }

    // The colour to draw with now; a system colour is resolved at this moment.
    QColor toQColor() const;

    friend constexpr bool operator==(TColor, TColor) = default;

private:
    static constexpr std::uint32_t systemFlag = 0x80000000u;

    explicit constexpr TColor(std::uint32_t value) : m_value(value) {}

    std::uint32_t m_value = 0; // black
};

#include "platform/audio_hardware.h"
#include "platform/clock.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace platform::audio {
namespace {

TEST(FourCharCode, TextRoundTrips) {
    EXPECT_EQ(fourCC("bltn"), 0x626C746Eu);
    EXPECT_EQ(fourCCText(fourCC("usb ")), "usb ");
    EXPECT_EQ(fourCCFromText("grup"), kAudioDeviceTransportTypeAggregate);
    EXPECT_EQ(fourCCFromText("usb"), 0u);
    EXPECT_EQ(fourCCText(0x00414243u), "?ABC");
    EXPECT_EQ(kAudioHardwareUnknownPropertyError, 2003332927);
}

TEST(BufferList, OnlyBuffersWithinTheReturnedSizeCount) {
    AudioBufferList list;
    struct Case {
        std::uint32_t claimed;
        std::uint32_t size;
        std::uint32_t counted;
    };
    const Case cases[] = {{1, 24, 1}, {5, 24, 1}, {5, 23, 0}, {5, 8, 0}, {0, 24, 0}, {3, 56, 3}, {3, 72, 3}, {2, 4, 0}};
    for (const auto& c : cases) {
        list.mNumberBuffers = c.claimed;
        EXPECT_EQ(buffersWithin(list, c.size), c.counted) << c.claimed << " in " << c.size;
    }
    EXPECT_EQ(audioBufferListSize(3), 56u);
}

TEST(PropertyList, NumbersConvertOnlyWhenExact) {
    struct Case {
        PropertyList value;
        std::optional<std::int64_t> integer;
        std::optional<double> real;
    };
    const Case cases[] = {
        {PropertyList(3), 3, 3.0},
        {PropertyList(2.0), 2, 2.0},
        {PropertyList(2.5), std::nullopt, 2.5},
        {PropertyList(std::nan("")), std::nullopt, std::nullopt},
        {PropertyList(1e300), std::nullopt, 1e300},
        {PropertyList(9.223372036854775808e18), std::nullopt, 9.223372036854775808e18},
        {PropertyList("3"), std::nullopt, std::nullopt},
        {PropertyList(), std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.value.integer(), c.integer);
        const auto real = c.value.real();
        if (c.real && std::isnan(*c.real)) continue;
        if (c.value.isNumber() && std::isnan(*real)) continue;
        EXPECT_EQ(real, c.real);
    }
    const PropertyList dictionary(PropertyList::Dictionary{{"uid", "x"}});
    EXPECT_EQ(*dictionary.find("uid")->string(), "x");
    EXPECT_EQ(dictionary.find("name"), nullptr);
    EXPECT_EQ(PropertyList("x").find("uid"), nullptr);
}

TEST(ManualClock, PauseAdvancesBothClocks) {
    ManualClock clock(10.0, 100.0);
    clock.pause()(0.25);
    EXPECT_DOUBLE_EQ(clock.uptime(), 10.25);
    EXPECT_DOUBLE_EQ(clock.secondsSinceReferenceDate(), 100.25);
    SystemWallClock wall;
    EXPECT_GT(wall.secondsSinceReferenceDate(), 788'000'000.0);  // after 2025
}

}  // namespace
}  // namespace platform::audio

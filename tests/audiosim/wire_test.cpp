#include "audiosim/protocol/wire.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace audiosim::wire {
namespace {

using platform::audio::PropertyList;

TEST(Wire, PropertyListsRoundTrip) {
    PropertyList::Dictionary nested;
    nested["uid"] = PropertyList("audio.ravlin.route.X");
    nested["drift"] = PropertyList(1);
    const PropertyList cases[] = {
        PropertyList(),
        PropertyList(0),
        PropertyList(std::int64_t(-9'000'000'000'000)),
        PropertyList(2.5),
        PropertyList(-0.0),
        PropertyList(""),
        PropertyList("KORVANE · ’ →"),
        PropertyList(PropertyList::Array{}),
        PropertyList(PropertyList::Array{PropertyList(1), PropertyList("x"), PropertyList(nested)}),
        PropertyList(nested),
    };
    for (const auto& value : cases) {
        const auto bytes = encode(Message{{"id", 1}, {"op", "setObject"}, {"value", toMessage(value)}});
        const auto decoded = decodeRequest(bytes.data() + kHeaderBytes, bytes.size() - kHeaderBytes);
        ASSERT_TRUE(decoded);
        EXPECT_EQ(toPropertyList((*decoded)["value"]), value);
    }
    // Integers stay integers and reals stay reals.
    EXPECT_TRUE(toPropertyList(toMessage(PropertyList(3)))->isInteger());
    EXPECT_FALSE(toPropertyList(toMessage(PropertyList(3.0)))->isInteger());
}

TEST(Wire, ValuesThatAreNoPropertyListsAreRefused) {
    Message deep = 1;
    for (int i = 0; i < 17; ++i) deep = Message::array({deep});
    const Message cases[] = {true, Message::binary({1, 2}), std::uint64_t(1) << 63, deep,
                             Message{{"a", Message::array({false})}}};
    for (const auto& m : cases) EXPECT_FALSE(toPropertyList(m)) << m.dump();
    Message shallow = 1;
    for (int i = 0; i < 16; ++i) shallow = Message::array({shallow});
    EXPECT_TRUE(toPropertyList(shallow));
}

TEST(Wire, AddressesAndFrames) {
    const platform::audio::AudioObjectPropertyAddress address{platform::audio::fourCC("slay"),
                                                              platform::audio::fourCC("outp"), 7};
    EXPECT_EQ(toAddress(toMessage(address)), address);
    EXPECT_FALSE(toAddress(Message::array({1, 2})));
    EXPECT_FALSE(toAddress(Message::array({1, 2, -1})));
    EXPECT_FALSE(toAddress(Message::array({1, 2, std::uint64_t(1) << 32})));

    const std::uint8_t limit[] = {0x00, 0x00, 0x10, 0x00};  // exactly 1 MiB
    const std::uint8_t over[] = {0x01, 0x00, 0x10, 0x00};
    EXPECT_EQ(frameLength(limit), kMaxMessageBytes);
    EXPECT_FALSE(frameLength(over));
}

TEST(Wire, RandomAndTruncatedInputNeverDecodesWrongly) {
    const auto valid = encode(Message{{"id", 7}, {"op", "get"}, {"object", 2}, {"address", Message::array({1, 2, 3})}});
    ASSERT_TRUE(decodeRequest(valid.data() + kHeaderBytes, valid.size() - kHeaderBytes));
    for (std::size_t length = 0; length + kHeaderBytes < valid.size(); ++length)
        EXPECT_FALSE(decodeRequest(valid.data() + kHeaderBytes, length)) << length;
    // An array claiming 2^64 − 256 entries: the reader throws for it even with exceptions off.
    const std::uint8_t hostileSize[] = {0x9b, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01, 0x00, 0x23};
    EXPECT_FALSE(decodeRequest(hostileSize, sizeof hostileSize));
    const std::uint8_t hostileNested[] = {0x9b, 0xac, 0x89, 0x8b, 0x08, 0x00, 0x00, 0x00, 0x89};
    EXPECT_FALSE(decodeRequest(hostileNested, sizeof hostileNested));
    const std::uint8_t deepArrays[64] = {0x81, 0x81, 0x81, 0x81, 0x81, 0x81, 0x81, 0x81, 0x81, 0x81, 0x81, 0x81, 0x81,
                                         0x81, 0x81, 0x81, 0x81, 0x81, 0x81, 0x81, 0x81, 0x81, 0x81, 0x81, 0x81, 0x81,
                                         0x81, 0x81, 0x81, 0x81, 0x81, 0x81, 0x81, 0x81, 0x81, 0x81, 0x81, 0x81, 0x01};
    EXPECT_FALSE(decodeRequest(deepArrays, sizeof deepArrays));
    std::mt19937 random(4711);
    for (int round = 0; round < 2000; ++round) {
        std::vector<std::uint8_t> bytes(random() % 64);
        for (auto& b : bytes) b = std::uint8_t(random());
        const auto decoded = decodeRequest(bytes.data(), bytes.size());
        if (decoded) {
            EXPECT_TRUE((*decoded)["id"].is_number_unsigned());
            EXPECT_TRUE((*decoded)["op"].is_string());
        }
    }
}

}  // namespace
}  // namespace audiosim::wire

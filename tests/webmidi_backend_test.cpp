// The web edition's MIDI backends over the page's relay, through the port wrappers the engine
// uses: the listing and its names, which device an index opens while the page's ports come and go,
// what a send hands the page, and what an input hears when its port leaves.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CMidiInPort.h"
#include "CMidiOutPort.h"
#include "platform/webmidi/WebMidiIn.h"
#include "platform/webmidi/WebMidiOut.h"

namespace {

using platform::WebMidiPort;
using Bytes = std::vector<std::uint8_t>;

struct Handed {
    std::string port;
    Bytes bytes;
};

std::vector<std::string> ListedNames(CMidiOutPort& port) {
    std::vector<std::string> names;
    const std::uint32_t count = port.GetDeviceCount();
    for (std::uint32_t i = 0; i < count; ++i) {
        char name[platform::MAX_PNAME_LEN] = {};
        port.GetDeviceName(i, name);
        names.emplace_back(name);
    }
    return names;
}

bool Send(CMidiOutPort& port, std::uint32_t index, Bytes message) {
    if (!port.Open(index)) return false;
    platform::MidiHeader header{};
    header.lpData = reinterpret_cast<char*>(message.data());
    header.dwBufferLength = static_cast<std::uint32_t>(message.size());
    const bool sent = port.SendLong(&header);
    port.Close();
    return sent;
}

class WebMidiOutTest : public ::testing::Test {
protected:
    std::vector<Handed> handed;
    platform::WebMidiOutApi api{[this](const std::string& port, const std::uint8_t* bytes, std::size_t n) {
        handed.push_back({port, Bytes(bytes, bytes + n)});
        return true;
    }};
    CMidiOutPort out{api};
};

TEST_F(WebMidiOutTest, DevicesOfOneNameAreToldApartInThePagesOrder) {
    api.SetPorts({{"a", "USB Audio Device"}, {"b", "Synth"}, {"c", "USB Audio Device"}, {"d", "USB Audio Device"},
                  {"e", "USB Audio Device (2)"}});
    // "(2)" is another device's own name, so the second of the three is "(3)".
    EXPECT_EQ(ListedNames(out), (std::vector<std::string>{"USB Audio Device", "Synth", "USB Audio Device (3)",
                                                          "USB Audio Device (4)", "USB Audio Device (2)"}));
}

TEST_F(WebMidiOutTest, AMessageGoesToTheListedDeviceWholeAndIsDoneWhenHandedOver) {
    api.SetPorts({{"a", "First"}, {"b", "USB Audio Device"}});
    ASSERT_EQ(out.GetDeviceCount(), 2u);
    ASSERT_TRUE(Send(out, 1, {0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7}));
    ASSERT_EQ(handed.size(), 1u);
    EXPECT_EQ(handed[0].port, "b");
    EXPECT_EQ(handed[0].bytes, (Bytes{0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7}));
    EXPECT_EQ(api.OpenHandles(), 0u);
}

TEST_F(WebMidiOutTest, AnIndexNamesTheDeviceOfTheLastScanWhileThePagesPortsChange) {
    api.SetPorts({{"a", "First"}, {"b", "USB Audio Device"}});
    ASSERT_EQ(out.GetDeviceCount(), 2u);
    // A device plugged in ahead of it moves nothing until the next scan.
    api.SetPorts({{"z", "New"}, {"a", "First"}, {"b", "USB Audio Device"}});
    ASSERT_TRUE(Send(out, 1, {0xF0, 0xF7}));
    EXPECT_EQ(handed.back().port, "b");
    ASSERT_EQ(out.GetDeviceCount(), 3u);
    ASSERT_TRUE(Send(out, 2, {0xF0, 0xF7}));
    EXPECT_EQ(handed.back().port, "b");
    // Beyond the listing, and "no selection": nothing opens.
    EXPECT_FALSE(out.Open(3));
    EXPECT_FALSE(out.Open(static_cast<std::uint32_t>(-1)));
}

TEST_F(WebMidiOutTest, ADeviceThatLeftCantBeSentToAndItsWatchSaysItIsGoneEvenWhenItIsBack) {
    api.SetPorts({{"a", "USB Audio Device"}});
    ASSERT_EQ(out.GetDeviceCount(), 1u);
    ASSERT_TRUE(out.Watch(0));
    EXPECT_FALSE(out.DeviceGone());
    api.SetPorts({});
    EXPECT_TRUE(out.DeviceGone());
    EXPECT_FALSE(Send(out, 0, {0xF0, 0xF7}));
    EXPECT_TRUE(handed.empty());
    // Back under the same id: it has been away meanwhile, so the run that watched it has lost it.
    api.SetPorts({{"a", "USB Audio Device"}});
    EXPECT_TRUE(out.DeviceGone());
    // A new watch starts afresh, and the device takes messages again.
    ASSERT_TRUE(out.Watch(0));
    EXPECT_FALSE(out.DeviceGone());
    EXPECT_TRUE(Send(out, 0, {0xF0, 0xF7}));
    out.Unwatch();
    EXPECT_EQ(api.Watches(), 0u);
}

TEST_F(WebMidiOutTest, ADeviceThatLeavesBetweenOpenAndSendFailsTheSendAsGone) {
    api.SetPorts({{"a", "USB Audio Device"}});
    ASSERT_EQ(out.GetDeviceCount(), 1u);
    ASSERT_TRUE(out.Watch(0));
    ASSERT_TRUE(out.Open(0));
    api.SetPorts({});
    Bytes message{0xF0, 0xF7};
    platform::MidiHeader header{};
    header.lpData = reinterpret_cast<char*>(message.data());
    header.dwBufferLength = 2;
    EXPECT_FALSE(out.SendLong(&header));
    EXPECT_TRUE(out.DeviceGone());
    out.Close();
    EXPECT_TRUE(handed.empty());
}

TEST(WebMidiOut, WithoutAPageNothingGoesOut) {
    platform::WebMidiOutApi api;
    CMidiOutPort out{api};
    api.SetPorts({{"a", "USB Audio Device"}});
    ASSERT_EQ(out.GetDeviceCount(), 1u);
    EXPECT_FALSE(Send(out, 0, {0xF0, 0xF7}));
}

class WebMidiInTest : public ::testing::Test {
protected:
    WebMidiInTest() {
        api.SetListenChanged([this](const std::vector<std::string>& ports) { listening.push_back(ports); });
    }
    // Every entry the port has received, oldest first; the list is emptied.
    std::vector<Bytes> Drain() {
        std::vector<Bytes> out;
        const std::uint8_t* bytes = nullptr;
        std::uint32_t length = 0;
        while (in.PeekReceived(&bytes, &length)) {
            out.emplace_back(bytes, bytes + length);
            in.PopReceived();
        }
        return out;
    }

    std::vector<std::vector<std::string>> listening;
    platform::WebMidiInApi api;
    CMidiInPort in{api};
};

TEST_F(WebMidiInTest, WhatThePageRelaysJoinsIntoMessagesOfTheOpenPortOnly) {
    api.SetPorts({{"x", "Keyboard"}, {"a", "USB Audio Device"}});
    ASSERT_EQ(in.GetDeviceCount(), 2u);
    in.m_deviceIndex = 1;
    ASSERT_TRUE(in.Start());
    EXPECT_EQ(listening.back(), std::vector<std::string>{"a"});
    // Another port's bytes are not this input's.
    EXPECT_FALSE(api.Deliver("x", Bytes{0xF0, 0x01, 0xF7}.data(), 3));
    // A message in two pieces, and a whole one behind it.
    const Bytes first{0xF0, 0x7D, 0x00}, rest{0x6A, 0x00, 0x00, 0xF7, 0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7};
    EXPECT_TRUE(api.Deliver("a", first.data(), first.size()));
    EXPECT_TRUE(api.Deliver("a", rest.data(), rest.size()));
    EXPECT_EQ(Drain(), (std::vector<Bytes>{{0xF0, 0x7D, 0x00, 0x6A, 0x00, 0x00, 0xF7}, {0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7}}));
    in.Stop();
    EXPECT_TRUE(listening.back().empty());
    EXPECT_FALSE(api.Deliver("a", rest.data(), rest.size()));
}

TEST_F(WebMidiInTest, AnOverlongMessageComesInBufferSizedPiecesAndLostMessagesEndTheOneUnderWay) {
    api.SetPorts({{"a", "USB Audio Device"}});
    ASSERT_EQ(in.GetDeviceCount(), 1u);
    in.m_deviceIndex = 0;
    ASSERT_TRUE(in.Start());
    Bytes longMessage(20000, 0x11);
    longMessage.front() = 0xF0;
    longMessage.back() = 0xF7;
    ASSERT_TRUE(api.Deliver("a", longMessage.data(), longMessage.size()));
    const auto pieces = Drain();
    ASSERT_EQ(pieces.size(), 3u);
    EXPECT_EQ(pieces[0].size(), RECEIVE_BUFFER_SIZE);
    EXPECT_EQ(pieces[1].size(), RECEIVE_BUFFER_SIZE);
    EXPECT_EQ(pieces[2].size(), 20000 - 2 * RECEIVE_BUFFER_SIZE);
    EXPECT_EQ(pieces[2].back(), 0xF7);
    // The page dropped messages in the middle of one: what came of it is discarded.
    const Bytes start{0xF0, 0x7D, 0x00, 0x6A};
    ASSERT_TRUE(api.Deliver("a", start.data(), start.size()));
    ASSERT_TRUE(api.Lost("a", 5));
    const Bytes next{0xF0, 0x7D, 0x00, 0x6A, 0x00, 0x00, 0xF7};
    ASSERT_TRUE(api.Deliver("a", next.data(), next.size()));
    EXPECT_EQ(Drain(), std::vector<Bytes>{next});
}

TEST_F(WebMidiInTest, AnInputWhosePortLeavesIsToldOnceAndHearsNothingMoreEvenWhenTheDeviceIsBack) {
    api.SetPorts({{"a", "USB Audio Device"}});
    ASSERT_EQ(in.GetDeviceCount(), 1u);
    in.m_deviceIndex = 0;
    ASSERT_TRUE(in.Start());
    EXPECT_FALSE(in.DeviceGone());
    api.SetPorts({{"b", "Other"}});
    EXPECT_TRUE(in.DeviceGone());
    api.SetPorts({{"a", "USB Audio Device"}});
    const Bytes message{0xF0, 0x7D, 0x00, 0x6A, 0x00, 0x00, 0xF7};
    EXPECT_FALSE(api.Deliver("a", message.data(), message.size()));
    EXPECT_TRUE(Drain().empty());
    EXPECT_TRUE(in.DeviceGone());
    // Started again on the device that is back: it receives, and counts as present.
    in.Stop();
    ASSERT_EQ(in.GetDeviceCount(), 1u);
    ASSERT_TRUE(in.Start());
    EXPECT_FALSE(in.DeviceGone());
    EXPECT_TRUE(api.Deliver("a", message.data(), message.size()));
    EXPECT_EQ(Drain(), std::vector<Bytes>{message});
}

TEST_F(WebMidiInTest, AListedDeviceThatHasLeftDoesNotOpen) {
    api.SetPorts({{"a", "USB Audio Device"}});
    ASSERT_EQ(in.GetDeviceCount(), 1u);
    api.SetPorts({});
    in.m_deviceIndex = 0;
    EXPECT_FALSE(in.Start());
    in.m_deviceIndex = 1;
    EXPECT_FALSE(in.Start());
    EXPECT_TRUE(listening.empty());
}

}  // namespace

// The WinMM MIDI backends through the port wrappers, on a system without MIDI devices (Wine
// without a sound system lists none): every failure is clean and prompt, nothing hangs. And the
// conversion of the product names that the system reports in UTF-16.
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "CMidiInPort.h"
#include "CMidiOutPort.h"
#include "platform/MidiApi.h"
#include "platform/winmm/WinMMSupport.h"

namespace {

using namespace std::chrono_literals;

// What counts as a hang. Generous: the first use of Wine's MIDI mapper in a fresh prefix loads
// and configures it, which took over 10 s on a loaded two-core machine.
constexpr auto HANG_LIMIT = 60s;


std::string Utf8(const wchar_t* name, std::size_t units) {
    char out[platform::MAX_PNAME_LEN];
    std::memset(out, 'x', sizeof out);
    platform::ProductNameToUtf8(name, units, out);
    return out;
}

TEST(WinMMProductNames, TheJapaneseDefaultNameBecomesItsUtf8Bytes) {
    // "USB オーディオ デバイス" as the system reports it, in a record of 32 units.
    wchar_t record[32] = L"USB \u30AA\u30FC\u30C7\u30A3\u30AA \u30C7\u30D0\u30A4\u30B9";
    EXPECT_EQ(Utf8(record, 32),
              "USB \xE3\x82\xAA\xE3\x83\xBC\xE3\x83\x87\xE3\x82\xA3\xE3\x82\xAA "
              "\xE3\x83\x87\xE3\x83\x90\xE3\x82\xA4\xE3\x82\xB9");
    EXPECT_EQ(Utf8(L"USB Audio Device", 32), "USB Audio Device");
}

TEST(WinMMProductNames, ThirtyOneThreeByteCharactersFitAndAnUnterminatedRecordStopsAtItsEnd) {
    wchar_t record[33];
    for (wchar_t& c : record) c = L'\u30AA';  // 3 bytes each in UTF-8
    record[31] = L'\0';
    const std::string full = Utf8(record, 32);
    ASSERT_EQ(full.size(), 31u * 3u);
    for (std::size_t i = 0; i < full.size(); i += 3) EXPECT_EQ(full.substr(i, 3), "\xE3\x82\xAA");

    // A record filled to the end without a NUL: only its 32 units are read.
    record[31] = L'A';
    record[32] = L'B';
    const std::string unterminated = Utf8(record, 32);
    EXPECT_EQ(unterminated.size(), 31u * 3u + 1u);
    EXPECT_EQ(unterminated.back(), 'A');
}

TEST(WinMMProductNames, ASurrogatePairIsKeptWholeOrDroppedWhenTheRecordCutsIt) {
    const wchar_t pair[] = {L'M', 0xD83C, 0xDFB8, L'\0'};  // "M" U+1F3B8 (guitar)
    EXPECT_EQ(Utf8(pair, 32), "M\xF0\x9F\x8E\xB8");
    EXPECT_EQ(Utf8(pair, 2), "M") << "the first half alone is not shown as a replacement character";
    EXPECT_EQ(Utf8(L"", 32), "");
    EXPECT_EQ(Utf8(nullptr, 32), "");
}

// Wine lists no MIDI devices here; a system with devices skips the cases that need none.
class WinMMWithoutDevices : public ::testing::Test {
protected:
    void SetUp() override {
        if (platform::DefaultMidiOutApi().GetNumDevs() != 0 ||
            platform::DefaultMidiInApi().GetNumDevs() != 0) {
            GTEST_SKIP() << "this system has MIDI devices";
        }
    }
};

TEST_F(WinMMWithoutDevices, ListsNothingAndNamesNoDevice) {
    CMidiOutPort out;
    CMidiInPort in;
    EXPECT_EQ(out.GetDeviceCount(), 0u);
    EXPECT_EQ(in.GetDeviceCount(), 0u);
    char name[platform::MAX_PNAME_LEN];
    std::memset(name, 'x', sizeof name);
    out.GetDeviceName(0, name);
    EXPECT_STREQ(name, "");
    std::memset(name, 'x', sizeof name);
    in.GetDeviceName(0, name);
    EXPECT_STREQ(name, "");
    platform::MidiDevCaps caps{};
    EXPECT_NE(platform::DefaultMidiOutApi().GetDevCaps(0, caps), platform::MIDI_OK);
    EXPECT_NE(platform::DefaultMidiInApi().GetDevCaps(0, caps), platform::MIDI_OK);
}

TEST_F(WinMMWithoutDevices, TheOutputPortFailsToOpenPromptlyAndSendsNothing) {
    auto out = std::make_shared<CMidiOutPort>();
    std::atomic<bool> opened{true};
    std::atomic<bool> sent{true};
    EXPECT_TRUE(testsupport::EndsWithin(HANG_LIMIT, [out, &opened, &sent] {
        opened = out->Open(0);
        char bytes[] = {'\xF0', '\x7E', '\x7F', '\x06', '\x01', '\xF7'};
        platform::MidiHeader header{};
        header.lpData = bytes;
        header.dwBufferLength = sizeof bytes;
        sent = out->SendLong(&header);
    }));
    EXPECT_FALSE(opened);
    EXPECT_FALSE(sent);
    EXPECT_FALSE(out->IsOpen());
    EXPECT_EQ(out->DeviceIndex(), 0u);
    out->Close();  // nothing open: does nothing
    EXPECT_FALSE(out->IsOpen());
}

TEST_F(WinMMWithoutDevices, NoSelectionGoesToTheSystemAsTheMapperAndEndsCleanlyEitherWay) {
    // -1 is MIDI_MAPPER: without devices the system may refuse it or open a mapper with nowhere
    // to send; either way the port answers at once and is closed afterwards.
    auto out = std::make_shared<CMidiOutPort>();
    EXPECT_TRUE(testsupport::EndsWithin(HANG_LIMIT, [out] {
        if (out->Open(static_cast<std::uint32_t>(-1))) out->Close();
    }));
    EXPECT_FALSE(out->IsOpen());
    EXPECT_EQ(out->DeviceIndex(), static_cast<std::uint32_t>(-1));
}

TEST_F(WinMMWithoutDevices, TheInputPortFailsToStartPromptlyAndStaysStopped) {
    auto in = std::make_shared<CMidiInPort>();
    std::atomic<int> starts{0};
    EXPECT_TRUE(testsupport::EndsWithin(HANG_LIMIT, [in, &starts] {
        in->m_deviceIndex = 0;
        if (in->Start()) ++starts;
        in->Stop();
        in->m_deviceIndex = static_cast<std::uint32_t>(-1);
        if (in->Start()) ++starts;
        in->Stop();
    }));
    EXPECT_EQ(starts, 0);
    EXPECT_FALSE(in->IsStarted());
    const std::uint8_t* bytes = nullptr;
    std::uint32_t length = 1;
    EXPECT_FALSE(in->PeekReceived(&bytes, &length));
    EXPECT_EQ(bytes, nullptr);
    EXPECT_EQ(length, 0u);
}

TEST_F(WinMMWithoutDevices, TheBackendsRefuseAnIndexThatNamesNoDevice) {
    platform::MidiOutHandle out = nullptr;
    EXPECT_NE(platform::DefaultMidiOutApi().Open(&out, 0), platform::MIDI_OK);
    EXPECT_EQ(out, nullptr);
    platform::MidiInHandle in = nullptr;
    EXPECT_NE(platform::DefaultMidiInApi().Open(&in, 0, &CMidiInPort::MidiInCallback, 0),
              platform::MIDI_OK);
}

}  // namespace

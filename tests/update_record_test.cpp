// The record of an update: its JSON text (bytes as written), reading it back, the UTC times, and
// what the recorder makes of a run's status reports.
#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <type_traits>
#include <string>

#include "FirmwareImage.h"
#include "Messages.h"
#include "UpdateEngine.h"
#include "UpdateRecord.h"

namespace {

using namespace std::chrono;

system_clock::time_point At(int y, unsigned mo, unsigned d, int h, int mi, int s, int ms) {
    return time_point_cast<system_clock::duration>(sys_days{year{y} / month{mo} / day{d}} + hours{h} + minutes{mi} +
                                                   seconds{s} + milliseconds{ms});
}

UpdateRecord SampleRecord() {
    UpdateRecord r;
    r.midiIn = "USB Audio Device (2)";
    r.midiOut = "USB Audio Device (2)";
    r.model = 0x69;
    r.programVersion = "1.10";
    r.start = At(2026, 3, 5, 14, 3, 22, 125);
    r.end = At(2026, 3, 5, 14, 3, 24, 300);
    r.ending = "TransferError";
    r.durationMs = 2175;
    r.blockSends.assign(36, 0);
    r.blockSends[0] = 1;
    r.blockSends[1] = 3;
    r.blockSends[2] = 7;
    return r;
}

TEST(UpdateRecordJson, IsOneLineWithEveryFieldInItsFixedForm) {
    const std::string expected =
        "{\"midi_in\":\"USB Audio Device (2)\",\"midi_out\":\"USB Audio Device (2)\",\"model\":\"0x69\","
        "\"program_version\":\"1.10\",\"start\":\"2026-03-05T14:03:22.125Z\",\"end\":\"2026-03-05T14:03:24.300Z\","
        "\"ending\":\"TransferError\",\"duration_ms\":2175,"
        "\"block_sends\":[1,3,7,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0],"
        "\"floor_ms\":1900,\"floor_ratio\":1.145}";
    EXPECT_EQ(RecordJson(SampleRecord()), expected);
}

TEST(UpdateRecordJson, ReadsBackToTheSameRecordWithAndWithoutAModel) {
    UpdateRecord r = SampleRecord();
    EXPECT_EQ(ParseRecordJson(RecordJson(r)), r);
    r.model.reset();
    r.ending = ENDING_NOT_STARTED;
    EXPECT_NE(RecordJson(r).find("\"model\":null"), std::string::npos);
    EXPECT_EQ(ParseRecordJson(RecordJson(r)), r);
}

TEST(UpdateRecordJson, CarriesTheUnitAndTheSoftwareRevisionBehindTheModelOnlyWhereKnown) {
    UpdateRecord r = SampleRecord();
    r.softwareRevision = SoftwareRevision{0x31, 0x30, 0x0A, 0x7F};
    r.usbSerial = "A1B2C3";
    r.usbPath = "1-1.2";
    const std::string json = RecordJson(r);
    EXPECT_EQ(json.substr(0, json.find(",\"program_version\"")),
              "{\"midi_in\":\"USB Audio Device (2)\",\"midi_out\":\"USB Audio Device (2)\",\"model\":\"0x69\","
              "\"software_revision\":\"31 30 0A 7F\",\"usb_serial\":\"A1B2C3\",\"usb_path\":\"1-1.2\"");
    EXPECT_EQ(ParseRecordJson(json), r);

    // Each one alone, and none: a record without them is written as records always were.
    UpdateRecord revisionOnly = SampleRecord();
    revisionOnly.softwareRevision = r.softwareRevision;
    UpdateRecord pathOnly = SampleRecord();
    pathOnly.usbPath = "3-2";
    UpdateRecord serialOnly = SampleRecord();
    serialOnly.usbSerial = std::string("odd\x1b[2J\xff", 8);  // a descriptor's string, controls and all
    for (const UpdateRecord& one : {revisionOnly, pathOnly, serialOnly, SampleRecord()}) {
        const std::string text = RecordJson(one);
        EXPECT_EQ(text.find("software_revision") != std::string::npos, one.softwareRevision.has_value()) << text;
        EXPECT_EQ(text.find("usb_serial") != std::string::npos, one.usbSerial.has_value()) << text;
        EXPECT_EQ(text.find("usb_path") != std::string::npos, one.usbPath.has_value()) << text;
        const auto back = ParseRecordJson(text);
        ASSERT_TRUE(back.has_value()) << text;
        EXPECT_EQ(back->softwareRevision, one.softwareRevision);
        EXPECT_EQ(back->usbPath, one.usbPath);
        EXPECT_EQ(back->usbSerial.has_value(), one.usbSerial.has_value());
    }
    EXPECT_EQ(ParseRecordJson(RecordJson(serialOnly))->usbSerial, std::optional<std::string>("odd\x1b[2J\xEF\xBF\xBD"));
    // Of a model that the device never told, no revision is invented.
    UpdateRecord none = SampleRecord();
    none.model.reset();
    EXPECT_EQ(RecordJson(none).find("software_revision"), std::string::npos);
}

TEST(UpdateRecordJson, ReadsTheUnitFieldsAsNoneWhenNullAndRefusesThemMisshapen) {
    UpdateRecord r = SampleRecord();
    r.softwareRevision = SoftwareRevision{0x01, 0x02, 0x03, 0x04};
    r.usbSerial = "S";
    r.usbPath = "1-1";
    const std::string json = RecordJson(r);
    const auto with = [&](const std::string& field, const std::string& replacement) {
        std::string copy = json;
        copy.replace(copy.find(field), field.size(), replacement);
        return copy;
    };
    const auto nulled = ParseRecordJson(with("\"01 02 03 04\"", "null"));
    ASSERT_TRUE(nulled.has_value());
    EXPECT_EQ(nulled->softwareRevision, std::nullopt);
    EXPECT_EQ(ParseRecordJson(with("\"S\"", "null"))->usbSerial, std::nullopt);
    EXPECT_EQ(ParseRecordJson(with("\"1-1\"", "null"))->usbPath, std::nullopt);
    // Lower-case hex reads as the same bytes.
    EXPECT_EQ(ParseRecordJson(with("01 02 03 04", "0a 0b 0c 0d"))->softwareRevision,
              (SoftwareRevision{0x0A, 0x0B, 0x0C, 0x0D}));
    for (const char* bad : {"01 02 03", "01 02 03 04 05", "01-02-03-04", "0102 0304", "G1 02 03 04", "+1 02 03 04",
                            " 01 02 03 4", ""}) {
        EXPECT_FALSE(ParseRecordJson(with("01 02 03 04", bad)).has_value()) << bad;
    }
    EXPECT_FALSE(ParseRecordJson(with("\"01 02 03 04\"", "[1,2,3,4]")).has_value());
    EXPECT_FALSE(ParseRecordJson(with("\"S\"", "17")).has_value());
    EXPECT_FALSE(ParseRecordJson(with("\"1-1\"", "{}")).has_value());
}

TEST(UpdateRecordJson, CarriesTheRunIdOfACopyOfAllBehindTheBlockSendsOnlyWhenItHasOne) {
    UpdateRecord r = SampleRecord();
    r.runId = "7f3c9a0e5b1d4c26a8e0f1b2c3d4e5f6-2";
    const std::string json = RecordJson(r);
    EXPECT_EQ(json,
              "{\"midi_in\":\"USB Audio Device (2)\",\"midi_out\":\"USB Audio Device (2)\",\"model\":\"0x69\","
              "\"program_version\":\"1.10\",\"start\":\"2026-03-05T14:03:22.125Z\",\"end\":\"2026-03-05T14:03:24.300Z\","
              "\"ending\":\"TransferError\",\"duration_ms\":2175,"
              "\"block_sends\":[1,3,7,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0],"
              "\"run_id\":\"7f3c9a0e5b1d4c26a8e0f1b2c3d4e5f6-2\",\"floor_ms\":1900,\"floor_ratio\":1.145}");
    EXPECT_EQ(ParseRecordJson(json), r);
    EXPECT_EQ(RecordJson(SampleRecord()).find("run_id"), std::string::npos);
    // Null reads as none; any other kind of value is no record.
    const std::string id = "\"7f3c9a0e5b1d4c26a8e0f1b2c3d4e5f6-2\"";
    std::string nulled = json;
    nulled.replace(nulled.find(id), id.size(), "null");
    EXPECT_EQ(ParseRecordJson(nulled), SampleRecord());
    for (const char* bad : {"17", "[\"x\"]", "{}", "true"}) {
        std::string misshapen = json;
        misshapen.replace(misshapen.find(id), id.size(), bad);
        EXPECT_FALSE(ParseRecordJson(misshapen).has_value()) << misshapen;
    }
}

TEST(UpdateRecordJson, NamesWithQuotesControlsAndJapaneseSurviveTheRoundTrip) {
    UpdateRecord r = SampleRecord();
    r.midiIn = "USB \xE3\x82\xAA\xE3\x83\xBC\xE3\x83\x87\xE3\x82\xA3\xE3\x82\xAA \"x\"\\y";
    r.midiOut = std::string("tab\there\nnewline\x01\0", 18);
    const std::string json = RecordJson(r);
    EXPECT_EQ(json.find('\n'), std::string::npos);
    EXPECT_NE(json.find("tab\\there\\nnewline\\u0001\\u0000"), std::string::npos) << json;
    EXPECT_EQ(ParseRecordJson(json), r);
}

TEST(UpdateRecordJson, BytesThatAreNotUtf8BecomeReplacementCharacters) {
    UpdateRecord r = SampleRecord();
    r.midiIn = "A\xFF" "B\xC3";          // a stray byte, a sequence cut short at the end
    r.midiOut = "C\xE0\x80\x80" "D";     // an overlong form
    const auto back = ParseRecordJson(RecordJson(r));
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->midiIn, "A\xEF\xBF\xBD" "B\xEF\xBF\xBD");
    EXPECT_EQ(back->midiOut, "C\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD" "D");
}

TEST(UpdateRecordJson, NoCutOffLineReadsAsARecord) {
    const std::string json = RecordJson(SampleRecord());
    for (std::size_t length = 0; length < json.size(); ++length) {
        EXPECT_FALSE(ParseRecordJson(json.substr(0, length)).has_value()) << "prefix of " << length << " bytes";
    }
}

TEST(UpdateRecordJson, RefusesMissingFieldsWrongTypesAndRunawayNesting) {
    std::string json = RecordJson(SampleRecord());
    const auto without = [&](const std::string& field, const std::string& replacement) {
        std::string copy = json;
        const std::size_t at = copy.find(field);
        copy.replace(at, field.size(), replacement);
        return copy;
    };
    EXPECT_FALSE(ParseRecordJson(without("\"ending\"", "\"endin\"")));
    EXPECT_FALSE(ParseRecordJson(without("\"duration_ms\":2175", "\"duration_ms\":\"2175\"")));
    EXPECT_FALSE(ParseRecordJson(without("\"duration_ms\":2175", "\"duration_ms\":21.5")));
    EXPECT_FALSE(ParseRecordJson(without("\"model\":\"0x69\"", "\"model\":\"69\"")));
    EXPECT_FALSE(ParseRecordJson(without("[1,3,7", "[1,-3,7")));
    EXPECT_FALSE(ParseRecordJson(without("2026-03-05T14", "2026-02-30T14")));
    EXPECT_FALSE(ParseRecordJson(json + "x"));
    EXPECT_FALSE(ParseRecordJson("[" + json + "]"));
    EXPECT_FALSE(ParseRecordJson(std::string(100000, '[') + std::string(100000, ']')));
    // Fields it does not know are left alone.
    EXPECT_TRUE(ParseRecordJson(without("{", "{\"later\":{\"a\":[true,false,null,-1.5e3]},")));
}

TEST(UpdateRecordJson, ALineWithThousandsOfBlockCountsIsRefusedAndNoSumOverflows) {
    // 3000 blocks sent a million times each: more again than an int holds.
    UpdateRecord r = SampleRecord();
    r.blockSends.assign(3000, 1000000);
    EXPECT_EQ(r.BlocksSentAgain(), std::numeric_limits<int>::max());
    EXPECT_FALSE(ParseRecordJson(RecordJson(r)).has_value());
    // What a record of this program holds, and more, reads.
    r.blockSends.assign(1024, 1000000);
    const auto back = ParseRecordJson(RecordJson(r));
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->BlocksSentAgain(), 1024 * 999999);
    r.blockSends.assign(36, 7);
    EXPECT_EQ(ParseRecordJson(RecordJson(r)), r);
}

TEST(UpdateReportJson, HoldsTheRecordsInOrderAndReadsBack) {
    UpdateRecord first = SampleRecord();
    UpdateRecord second = SampleRecord();
    second.midiIn = second.midiOut = "USB Audio Device (3)";
    second.ending = "Completed";
    const std::string text = ReportJson("tarnet-update", {first, second});
    EXPECT_EQ(text.rfind("{\"program\":\"tarnet-update\",\"version\":\"" + std::string(ProgramVersion()) +
                             "\",\"records\":[\n  {",
                         0),
              0u);
    const auto records = ParseReportJson(text);
    ASSERT_TRUE(records.has_value());
    ASSERT_EQ(records->size(), 2u);
    EXPECT_EQ((*records)[0], first);
    EXPECT_EQ((*records)[1], second);
    EXPECT_EQ(ParseReportJson(ReportJson("tarnet-update", {})), std::vector<UpdateRecord>{});
    EXPECT_FALSE(ParseReportJson(text.substr(0, text.size() - 3)));
}

TEST(UtcTime, IsWrittenAsIso8601WithMillisecondsAndReadBack) {
    EXPECT_EQ(FormatUtc(system_clock::time_point{}), "1970-01-01T00:00:00.000Z");
    const auto t = At(2028, 2, 29, 23, 59, 59, 999);
    EXPECT_EQ(FormatUtc(t), "2028-02-29T23:59:59.999Z");
    EXPECT_EQ(FormatUtc(t + microseconds(900)), "2028-02-29T23:59:59.999Z");  // cut, not rounded
    EXPECT_EQ(ParseUtc("2028-02-29T23:59:59.999Z"), t);
    EXPECT_EQ(ParseUtc("2028-02-29T23:59:59Z"), t - milliseconds(999));
    for (const char* bad : {"2027-02-29T00:00:00Z", "2028-02-29T24:00:00Z", "2028-02-29 23:59:59Z",
                            "2028-02-29T23:59:59.99Z", "2028-02-29T23:59:59", "2028-02-29T23:59:59Z "}) {
        EXPECT_FALSE(ParseUtc(bad).has_value()) << bad;
    }
}

TEST(UtcTime, ATimeTheSystemClockCannotHoldIsRefusedNotWrappedRound) {
    if constexpr (!std::is_same_v<system_clock::duration, nanoseconds>) {
        // libc++ (the WebAssembly build's) counts microseconds, whose range reaches far beyond any
        // date a record names.
        GTEST_SKIP() << "the limits below are those of a clock that counts nanoseconds (libstdc++)";
    }
    const auto last = floor<milliseconds>(system_clock::time_point::max());
    const auto first = ceil<milliseconds>(system_clock::time_point::min());
    EXPECT_EQ(ParseUtc(FormatUtc(last)), last);
    EXPECT_EQ(ParseUtc(FormatUtc(first)), first);
    EXPECT_EQ(FormatUtc(last), "2262-04-11T23:47:16.854Z");
    EXPECT_EQ(FormatUtc(first), "1677-09-21T00:12:43.146Z");
    // A millisecond beyond either end, and far beyond: none reads.
    EXPECT_FALSE(ParseUtc("2262-04-11T23:47:16.855Z").has_value());
    EXPECT_FALSE(ParseUtc("1677-09-21T00:12:43.145Z").has_value());
    EXPECT_FALSE(ParseUtc("9999-12-31T23:59:59.999Z").has_value());
    EXPECT_FALSE(ParseUtc("0000-01-01T00:00:00.000Z").has_value());
    // A record that holds one is a damaged line.
    std::string line = RecordJson(SampleRecord());
    line.replace(line.find("2026-03-05T14:03:24.300Z"), 24, "9999-12-31T23:59:59.999Z");
    EXPECT_FALSE(ParseRecordJson(line).has_value());
}

TEST(UpdateRecorder, CountsEverySendOfABlockAndTakesTheModelAtTheErase) {
    g_modelId.store(0x69);
    UpdateRecorder recorder;
    recorder.Start("in", "out");
    recorder.OnStatus({RunStatus::Kind::Erasing});
    g_modelId.store(0x6A);  // later changes are not the device's answer
    recorder.OnStatus({RunStatus::Kind::Empty});
    for (int send = 0; send < 3; ++send) recorder.OnStatus({RunStatus::Kind::DataTransmit, 0, IMAGE_SIZE});
    recorder.OnStatus({RunStatus::Kind::DataTransmit, BLOCK_SIZE, IMAGE_SIZE});
    recorder.OnStatus({RunStatus::Kind::DataTransmit, 35 * BLOCK_SIZE, IMAGE_SIZE});
    recorder.OnStatus({RunStatus::Kind::DataTransmit, IMAGE_SIZE, IMAGE_SIZE});  // past the image: ignored
    const UpdateRecord r = recorder.Finish("Completed");

    EXPECT_EQ(r.midiIn, "in");
    EXPECT_EQ(r.midiOut, "out");
    EXPECT_EQ(r.model, std::optional<std::uint8_t>(0x69));
    EXPECT_EQ(r.programVersion, ProgramVersion());
    ASSERT_EQ(r.blockSends.size(), 36u);
    EXPECT_EQ(r.blockSends[0], 3);
    EXPECT_EQ(r.blockSends[1], 1);
    EXPECT_EQ(r.blockSends[2], 0);
    EXPECT_EQ(r.blockSends[35], 1);
    EXPECT_EQ(r.BlocksSentAgain(), 2);
    EXPECT_TRUE(r.Completed());
    EXPECT_LE(r.start, r.end);
    EXPECT_GE(r.durationMs, 0);
}

TEST(UpdateRecorder, TakesTheUnitFromTheListingAndTheRevisionFromTheDevicesIdentity) {
    UpdateRecorder recorder;
    recorder.Start("in", "out", platform::MidiDevUnit{"A1B2C3", "1-1.2"});
    UpdateRecord r = recorder.Finish(EndingName(UpdateOutcome::IdentityTimeout));
    EXPECT_EQ(r.usbSerial, std::optional<std::string>("A1B2C3"));
    EXPECT_EQ(r.usbPath, std::optional<std::string>("1-1.2"));
    EXPECT_EQ(r.softwareRevision, std::nullopt) << "no Identity Reply came";

    recorder.OnIdentity(DeviceIdentity{0x6A, SoftwareRevision{0x31, 0x30, 0x30, 0x30}});
    EXPECT_EQ(recorder.Finish("Completed").softwareRevision, (SoftwareRevision{0x31, 0x30, 0x30, 0x30}));
    // A reply that ended before its revision leaves none.
    recorder.OnIdentity(DeviceIdentity{0x6A, std::nullopt});
    EXPECT_EQ(recorder.Finish("Completed").softwareRevision, std::nullopt);

    // A new start forgets the last run's identity; a unit the listing did not tell stays unknown,
    // and so does the serial number of a unit that has none.
    recorder.OnIdentity(DeviceIdentity{0x6A, SoftwareRevision{1, 2, 3, 4}});
    recorder.Start("in", "out");
    r = recorder.Finish("Completed");
    EXPECT_EQ(r.softwareRevision, std::nullopt);
    EXPECT_EQ(r.usbSerial, std::nullopt);
    EXPECT_EQ(r.usbPath, std::nullopt);
    recorder.Start("in", "out", platform::MidiDevUnit{"", "3-2"});
    r = recorder.Finish("Completed");
    EXPECT_EQ(r.usbSerial, std::nullopt);
    EXPECT_EQ(r.usbPath, std::optional<std::string>("3-2"));
}

TEST(UpdateRecorder, KnowsNoModelWithoutAnAnswerButTheRefusedOneOfAnIllegalDevice) {
    UpdateRecorder recorder;
    g_modelId.store(0x6A);
    recorder.Start("in", "out");
    EXPECT_FALSE(recorder.Finish(EndingName(UpdateOutcome::IdentityTimeout)).model.has_value());
    EXPECT_FALSE(recorder.Finish(EndingName(UpdateOutcome::IllegalDevice)).model.has_value());
    g_modelId.store(0x42);
    EXPECT_EQ(recorder.Finish(EndingName(UpdateOutcome::IllegalDevice)).model, std::optional<std::uint8_t>(0x42));
    g_modelId.store(0x6A);
    // A second run starts from nothing.
    recorder.OnStatus({RunStatus::Kind::DataTransmit, 0, IMAGE_SIZE});
    recorder.Start("in", "out");
    EXPECT_EQ(recorder.Finish("Completed").BlocksSentAgain(), 0);
    EXPECT_EQ(recorder.Finish("Completed").blockSends[0], 0);
}

TEST(UpdateEndings, AreTheEngineOutcomesByName) {
    EXPECT_STREQ(EndingName(UpdateOutcome::Completed), "Completed");
    EXPECT_STREQ(EndingName(UpdateOutcome::IdentityTimeout), "IdentityTimeout");
    EXPECT_STREQ(EndingName(UpdateOutcome::IllegalDevice), "IllegalDevice");
    EXPECT_STREQ(EndingName(UpdateOutcome::NotInVersionUpMode), "NotInVersionUpMode");
    EXPECT_STREQ(EndingName(UpdateOutcome::TransferError), "TransferError");
    EXPECT_STREQ(EndingName(UpdateOutcome::BlockTimeout), "BlockTimeout");
    EXPECT_STREQ(EndingName(UpdateOutcome::WindowClosed), "WindowClosed");
}

}  // namespace

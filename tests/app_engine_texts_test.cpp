#include <gtest/gtest.h>

#include <set>
#include <string>

#include "EngineTexts.h"

TEST(EngineTexts, EveryErrorHasItsOwnTextFromTheStringTable) {
    const struct {
        EngineError error;
        const char* text;
    } expected[] = {
        {EngineError::InProgress, "In Progress."},
        {EngineError::CantOpenMidiIn, "Can't open MIDI In device."},
        {EngineError::CantOpenMidiOut, "Can't open MIDI Out device."},
        {EngineError::IdentityTimeout, "Time out error(1)"},
        {EngineError::BlockTimeout, "Time out error(2)"},
        {EngineError::IllegalDevice, "Illegal device connected."},
        {EngineError::NotInVersionUpMode, "Please set the Version-up mode."},
        {EngineError::TransferError, "Transfer error occurred."},
    };
    std::set<int> ids;
    for (const auto& e : expected) {
        EXPECT_EQ(ErrorText(e.error), e.text);
        ids.insert(ErrorStringId(e.error));
    }
    EXPECT_EQ(ids.size(), std::size(expected)) << "two errors share a string";
}

TEST(EngineTexts, StatusLineTextsFillTheTransmitFormatWithOffsetAndTotal) {
    EXPECT_EQ(StatusText({RunStatus::Kind::Empty}), "");
    EXPECT_EQ(StatusText({RunStatus::Kind::Erasing}), "Erasing Flash memory.");
    EXPECT_EQ(StatusText({RunStatus::Kind::Completed}), "Version update completed.");
    EXPECT_EQ(StatusText({RunStatus::Kind::DataTransmit, 0, 327680}), "Data transmit  0 / 327680 ");
    EXPECT_EQ(StatusText({RunStatus::Kind::DataTransmit, 322560, 327680}), "Data transmit  322560 / 327680 ");
}

TEST(EngineTexts, AStringMissingFromTheTableGivesAnEmptyTextNotACrash) {
    const StringLoader none = [](int) -> const char* { return nullptr; };
    EXPECT_EQ(ErrorText(EngineError::TransferError, none), "");
    EXPECT_EQ(StatusText({RunStatus::Kind::DataTransmit, 9216, 327680}, none), "");
    EXPECT_EQ(StatusText({RunStatus::Kind::Erasing}, StringLoader()), "");
}

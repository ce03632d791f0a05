// The web edition's own texts.
#include <gtest/gtest.h>

#include "StringTable.h"
#include "WebTexts.h"

namespace {

TEST(WebTexts, AMenuTextsMnemonicBecomesItsKeyAndLeavesTheTextWithoutItsAmpersand) {
    const MnemonicLabel about = SplitMnemonic(LoadStringById(IDS_ABOUTBOX));
    EXPECT_EQ(about.label, "About Tarnet Updater(A)...");
    EXPECT_EQ(about.key, "A");
    EXPECT_EQ(SplitMnemonic("Save && &Quit").label, "Save & Quit");
    EXPECT_EQ(SplitMnemonic("Save && &Quit").key, "Q");
    EXPECT_EQ(SplitMnemonic("&First &Second").key, "F");
    EXPECT_EQ(SplitMnemonic("Plain").key, "");
    EXPECT_EQ(SplitMnemonic("Trailing&").label, "Trailing");
    EXPECT_EQ(SplitMnemonic("").label, "");
}

TEST(WebTexts, EveryCaseTheBrowserCantHandleHasItsOwnText) {
    for (const WebText text : {WebText::NoWebMidi, WebText::NotSecure, WebText::SysExRefused, WebText::NoMidiSystem,
                              WebText::NoDevices}) {
        EXPECT_GT(std::string(WebTextOf(text)).size(), 40u);
    }
    EXPECT_NE(std::string(WebTextOf(WebText::NoWebMidi)).find("Chrome"), std::string::npos);
    EXPECT_NE(std::string(WebTextOf(WebText::NotSecure)).find("https://"), std::string::npos);
    EXPECT_NE(std::string(WebTextOf(WebText::SysExRefused)).find("Allow"), std::string::npos);
    EXPECT_STREQ(WebTextOf(WebText::ReportProgram), "tarnet-updater-web");
}

}  // namespace

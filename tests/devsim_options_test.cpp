// tarnet-devsim's command line, read as the program reads it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DevsimOptions.h"

using namespace std::chrono_literals;

namespace {

ParsedDevsimCommandLine Parse(std::vector<std::string> args) {
    args.insert(args.begin(), "tarnet-devsim");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return ParseDevsimCommandLine(static_cast<int>(args.size()), argv.data());
}

}  // namespace

TEST(DevsimOptions, TheFaultsOfASlowRepeatingDeviceReachItsConfiguration) {
    const ParsedDevsimCommandLine parsed =
        Parse({"--block-delay", "150", "--repeat-answer", "erase:70", "--repeat-answer=3:30", "--store-at-address",
               "--refuse", "0:2:11", "--drop-reply", "4", "--answer-delay", "2-7", "--long-first", "12000:5000"});
    ASSERT_FALSE(parsed.exitStatus);
    const devsim::DeviceSimulatorConfig& c = parsed.options.config;
    EXPECT_EQ(c.blockAnswerDelay, 150ms);
    ASSERT_EQ(c.repeats.size(), 2u);
    EXPECT_EQ(c.repeats[0].block, devsim::FaultSchedule::ERASE);
    EXPECT_EQ(c.repeats[0].after, 70ms);
    EXPECT_EQ(c.repeats[1].block, 3);
    EXPECT_EQ(c.repeats[1].after, 30ms);
    EXPECT_TRUE(c.storeAtAddress);
    ASSERT_EQ(c.refusals.size(), 1u);
    EXPECT_EQ(c.refusals[0].block, 0);
    EXPECT_EQ(c.refusals[0].count, 2);
    EXPECT_EQ(c.refusals[0].status, 11);
    EXPECT_EQ(c.dropReplyBlock, 4);
    EXPECT_EQ(c.answerDelayMin, 2ms);
    EXPECT_EQ(c.answerDelayMax, 7ms);
    EXPECT_EQ(c.longMessageBytes, 12000u);
    EXPECT_EQ(c.identityReplyDelay, 5000ms);

    const devsim::DeviceSimulatorConfig plain = Parse({}).options.config;
    EXPECT_EQ(plain.blockAnswerDelay, 0ms);
    EXPECT_TRUE(plain.repeats.empty());
    EXPECT_FALSE(plain.storeAtAddress);
}

TEST(DevsimOptions, DefaultsFollowTheRunAndTheTransportUnlessGiven) {
    const DevsimOptions once = Parse({}).options;
    EXPECT_EQ(once.timeoutSec, 300);
    EXPECT_EQ(once.rawBuffer, 65536);
    EXPECT_FALSE(once.serve);
    EXPECT_EQ(once.name, "USB Audio Device");
    EXPECT_EQ(Parse({"--serve"}).options.timeoutSec, 0);
    EXPECT_EQ(Parse({"--timeout", "5", "--serve"}).options.timeoutSec, 5);
    EXPECT_EQ(Parse({"--byte-rate", "3125"}).options.rawBuffer, 0) << "a cable interface keeps the driver's buffer";
    EXPECT_EQ(Parse({"--rawmidi-buffer", "4096", "--byte-rate", "3125"}).options.rawBuffer, 4096);
    // --ask-identity takes its value only after '=': the next word is an option of its own.
    const DevsimOptions ask = Parse({"--ask-identity", "--quiet"}).options;
    EXPECT_EQ(ask.config.askIdentity, devsim::Trigger::End);
    EXPECT_TRUE(ask.quiet);
    EXPECT_EQ(Parse({"--ask-identity=start"}).options.config.askIdentity, devsim::Trigger::Start);
}

TEST(DevsimOptions, AMalformedOptionIsAUsageError) {
    const std::vector<std::vector<std::string>> bad{
        {"--repeat-answer", "erase"}, {"--repeat-answer", "finish:70"}, {"--repeat-answer", "2:-1"},
        {"--block-delay"},            {"--block-delay", "x"},           {"--store-at-address=1"},
        {"--refuse", "1:1:0"},        {"--ask-identity=never"},         {"--frobnicate"},
        {"--expect-image", "/nonexistent/image.bin"},                   {"--name", ""}};
    for (const auto& args : bad) {
        EXPECT_EQ(Parse(args).exitStatus, 2) << args[0];
    }
}

TEST(DevsimOptions, ARepeatOfEveryAnswerAndAStatusForTheIdentityReachTheConfiguration) {
    const devsim::DeviceSimulatorConfig c = Parse({"--repeat-answer", "all:2", "--identity-status", "3"}).options.config;
    ASSERT_EQ(c.repeats.size(), 1u);
    EXPECT_EQ(c.repeats[0].block, devsim::FaultSchedule::EVERY);
    EXPECT_EQ(c.repeats[0].after, 2ms);
    EXPECT_EQ(c.identityStatus, 3);
    EXPECT_FALSE(Parse({}).options.config.identityStatus);
    EXPECT_TRUE(Parse({"--identity-status", "200"}).exitStatus) << "a status is 7 bits";
}

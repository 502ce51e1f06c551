#include "app/reports/json_report.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

using namespace TrackloomApp;

namespace {

Trackloom::analysis::TempoAndKey aMinorAt128() {
    Trackloom::analysis::TempoAndKey e;
    e.bpm = 128.0;
    e.keyIndex = 12 + 9;  // A minor
    e.key = "A Minor (Relative: C Major)";
    e.bpmConfidence = 0.91234;
    e.keyConfidence = 0.5;
    return e;
}

}  // namespace

// Scripts parse these lines: every field present with its type, every path escaped so that
// quotes, backslashes, control characters and non-ASCII names come back exactly.
TEST(JsonReport, LinesParseBackWithEveryFieldAndPathIntact) {
    const std::string file = "dir \"quoted\"\\back/sl\u00e4sh \u97f3\u697d\t.wav";
    const std::string bpmLine = TrackloomApp::reports::BpmJson(file, aMinorAt128());
    EXPECT_EQ(bpmLine.find('\n'), std::string::npos);
    const auto bpm = nlohmann::json::parse(bpmLine);
    EXPECT_EQ(bpm["file"], file);
    EXPECT_EQ(bpm["bpm"], 128.0);
    EXPECT_EQ(bpm["bpm_confidence"], 0.912);
    EXPECT_EQ(bpm["key"], "A Minor");
    EXPECT_EQ(bpm["relative"], "C Major");
    EXPECT_EQ(bpm["camelot"], "8A");
    EXPECT_EQ(bpm["open_key"], "1m");
    EXPECT_EQ(bpm["key_confidence"], 0.5);

    const auto split = nlohmann::json::parse(TrackloomApp::reports::SplitJson(
        file, aMinorAt128(), {{"vocals", "out/\"v\".wav"}, {"accompaniment", "a.wav"}}));
    EXPECT_EQ(split["file"], file);
    EXPECT_EQ(split["camelot"], "8A");
    EXPECT_EQ(split["stems"]["vocals"], "out/\"v\".wav");
    EXPECT_EQ(split["stems"]["accompaniment"], "a.wav");
    EXPECT_EQ(split["stems"].size(), 2u);

    const auto error =
        nlohmann::json::parse(TrackloomApp::reports::ErrorJson(file, "no such file"));
    EXPECT_EQ(error["file"], file);
    EXPECT_EQ(error["error"], "no such file");
    EXPECT_EQ(error.size(), 2u);
}

TEST(JsonReport, SilenceNamesTheDefaultKeyAndPathsThatAreNotUtf8StillGiveALine) {
    const auto silent = nlohmann::json::parse(
        TrackloomApp::reports::BpmJson("s.wav", Trackloom::analysis::TempoAndKey()));
    EXPECT_EQ(silent["bpm"], 120.0);
    EXPECT_EQ(silent["key"], "F# Minor");
    EXPECT_EQ(silent["camelot"], "11A");
    EXPECT_EQ(silent["bpm_confidence"], 0.0);
    // A Latin-1 file name: the line must still be valid JSON, the readable part kept.
    const auto latin1 = nlohmann::json::parse(TrackloomApp::reports::ErrorJson("caf\xe9.wav", "x"));
    EXPECT_EQ(latin1["file"], "caf\ufffd.wav");
}

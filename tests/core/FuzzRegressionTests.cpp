// Faults the fuzz targets under fuzz/ found, kept as plain tests so that they stay fixed in every
// build, sanitized or not.

#include "core/BackupError.hpp"
#include "core/BackupManifest.hpp"
#include "core/FileAccess.hpp"
#include "core/Json.hpp"
#include "core/SecretsBundle.hpp"
#include "support/TempHome.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

using namespace stowage;
using namespace std::chrono;

namespace {

/// `document` with its "%" replaced by `createdAt`.
std::string at(std::string document, const std::string& createdAt) {
    return document.replace(document.find('%'), 1, createdAt);
}

const std::string payloadDocument = R"({"version":1,"createdAt":%,"files":[]})";
const std::string manifestDocument =
    R"({"version":1,"createdAt":"%","configs":[],"manifests":[],"hasSecrets":false,"secretPaths":[]})";
const std::string historyDocument =
    R"([{"createdAt":"%","configCount":1,"secretCount":0,"manifestCount":0,"totalBytes":10,"usedPassphrase":false}])";

} // namespace

// The payload's creation time counts seconds from 2001 in a double, and the clock counts nanoseconds
// in 64 bits. Times beyond what the clock holds used to be multiplied into it anyway (signed
// overflow: a wrapped, meaningless time, or worse under an optimiser); they are refused now.
// 8245064835 s after 2001 is 2262-04-11T23:47:15Z, the last whole second both counts can hold;
// -9223372035 s is the earliest whose distance from 2001 the encoder can still measure.
TEST(FuzzRegressionBundleCreatedAt, TimesTheClockCannotHoldAreRefusedAndItsExtremesSurviveEncoding) {
    for (const char* value : {"78635844358", "9e10", "-78686358448", "8245064836", "-9223372036", "1e300"})
        EXPECT_THROW(SecretsBundle::decodePayload(at(payloadDocument, value)), BundleDecodingError) << value;
    const system_clock::time_point reference = system_clock::from_time_t(978307200);
    for (const auto& [text, expected] : std::vector<std::pair<const char*, system_clock::time_point>>{
             {"8245064835.5", reference + seconds(8245064835LL) + milliseconds(500)},
             {"-9223372035", reference - seconds(9223372035LL)},
             {"0", reference}}) {
        const BundlePayload payload = SecretsBundle::decodePayload(at(payloadDocument, text));
        EXPECT_EQ(payload.createdAt, expected) << text;
        const BundlePayload again = SecretsBundle::decodePayload(SecretsBundle::encodePayload(payload));
        EXPECT_LE(abs(again.createdAt - payload.createdAt), microseconds(1)) << text;
    }
}

// Stored dates of backup.json and history.json went through the same nanosecond clock: a year
// outside 1677-09-21...2262-04-11 overflowed it and was accepted as some other time. Such a date now
// makes the record unreadable, like any other bad date, instead of being rewritten as a wrong one.
TEST(FuzzRegressionStoredDates, DatesOutsideTheClockRangeAreRefusedAndItsEdgesReadAndWriteBack) {
    for (const char* date : {"1012-11-30T10:15:00Z", "9999-12-31T23:59:59Z", "0999-01-01T00:00:00Z",
                             "1677-09-21T00:12:44Z", "2262-04-11T23:47:16Z", "2262-04-11T23:00:00-00:48"}) {
        EXPECT_FALSE(json::parseIso8601(date).has_value()) << date;
        EXPECT_THROW(BackupManifest::decode(at(manifestDocument, date)), DecodingError) << date;
        EXPECT_THROW(decodeHistory(at(historyDocument, date)), DecodingError) << date;
    }
    for (const char* date : {"1677-09-21T00:12:45Z", "2262-04-11T23:47:15Z", "1970-01-01T00:00:00Z"}) {
        const BackupManifest manifest = BackupManifest::decode(at(manifestDocument, date));
        EXPECT_EQ(json::iso8601(manifest.createdAt), date);
        EXPECT_EQ(BackupManifest::decode(manifest.encode()), manifest) << date;
        const std::vector<BackupRun> runs = decodeHistory(at(historyDocument, date));
        ASSERT_EQ(runs.size(), 1u);
        EXPECT_EQ(decodeHistory(encodeHistory(runs)), runs) << date;
    }
}

// A bundle entry whose path names no file ("", "/", "//") restored under a prefix became the prefix
// folder itself; written beside, it landed next to the prefix folder, outside it. It is refused now,
// and the other entries before it are restored as usual.
TEST(FuzzRegressionRestoreUnderPrefix, APathWithoutANameIsRefusedAndNothingLandsOutsideThePrefix) {
    const stowage::testing::TempHome home;
    const std::string prefix = home.makeDir("restored");
    DirectFileAccess access;
    for (const char* nameless : {"", "/", "//"}) {
        BundlePayload payload;
        payload.files = {{"/home/u/.ssh/config", 0600, toBytes("Host *\n"), std::nullopt},
                         {nameless, 0600, toBytes("secret"), std::nullopt}};
        for (bool dryRun : {true, false}) {
            try {
                SecretsBundle::restore(payload, std::nullopt, ConflictPolicy::writeBeside, std::nullopt, std::nullopt,
                                       prefix, dryRun, access);
                ADD_FAILURE() << "restored \"" << nameless << "\"";
            } catch (const BackupError& e) {
                EXPECT_EQ(e.kind(), BackupError::Kind::io);
                EXPECT_NE(std::string(e.what()).find("names no file"), std::string::npos) << e.what();
            }
        }
        EXPECT_FALSE(std::filesystem::exists(prefix + std::string(besideSuffix))) << nameless;
        EXPECT_TRUE(std::filesystem::is_directory(prefix));
        EXPECT_EQ(stowage::testing::slurp(prefix + "/home/u/.ssh/config"), "Host *\n");
    }
}

// Pairing codes and the paired devices' file, with a clock the test turns.

#include "helper/phone/Devices.h"
#include "helper/phone/Pairing.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

using namespace ringlark::helper::phone;
namespace fs = std::filesystem;

namespace {

std::string readText(const fs::path& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeText(const fs::path& path, const std::string& text) { std::ofstream(path) << text; }

// A store in a temporary directory; ids and secrets are counted, not random.
struct Fixture {
    QTemporaryDir temporary;
    fs::path directory = temporary.path().toStdString();
    fs::path file = directory / "devices.json";
    std::uint64_t now = 1'700'000'000'000;
    int drawn = 0;

    DeviceStore store()
    {
        return DeviceStore({directory, [this] { return now; }, [this](std::size_t bytes) {
                                return std::string(bytes * 2, "0123456789abcdef"[drawn++ % 16]);
                            }});
    }
    std::vector<Device> onDisk() const { return parseDevicesFile(readText(file)).value_or(std::vector<Device>{}); }
};

} // namespace

TEST(PairingCodes, ACodeLastsUntilUsedExpiredOrGuessedAtAndTriesAreRationed)
{
    int issued = 0;
    PairingCodes codes({}, [&] { return "c" + std::to_string(++issued); });
    const auto start = PairingCodes::Clock::time_point(std::chrono::hours(1));
    using V = PairingCodes::Verdict;
    // One life, in order; each row then reads the code the computer would show.
    const struct {
        int second;
        const char* redeem; // nothing: only look
        V verdict;
        const char* shown;
    } life[] = {
        {0, nullptr, {}, "c1"},
        {300, nullptr, {}, "c1"},       // the same code until it is used
        {301, "c1", V::paired, "c2"},   // used: a new one
        {400, "c1", V::wrong, "c2"},    // a used code pairs nobody
        {900, nullptr, {}, "c2"},       // 599 s old
        {901, "c2", V::wrong, "c3"},    // expired at 600 s, redeemed all the same
        {1000, "nope", V::wrong, "c3"}, // four wrong guesses leave it
        {1001, "nope", V::wrong, "c3"},
        {1002, "nope", V::wrong, "c3"},
        {1003, "nope", V::wrong, "c3"},
        {1004, "nope", V::wrong, "c4"}, // the fifth replaces it
        {1005, "c4", V::tooMany, "c4"}, // six tries in a minute: refused, even the right code
        {1059, "c4", V::tooMany, "c4"},
        {1060, "c4", V::paired, "c5"},  // the first try of that minute has left the window
    };
    for (const auto& row : life) {
        const auto now = start + std::chrono::seconds(row.second);
        if (row.redeem) {
            EXPECT_EQ(codes.redeem(row.redeem, now), row.verdict) << "at " << row.second << " s";
        }
        EXPECT_EQ(codes.current(now), row.shown) << "at " << row.second << " s";
    }
}

TEST(DeviceStore, APairedPhoneIsKeptAsAHashAndProvedOnlyByItsSecret)
{
    Fixture fixture;
    auto store = fixture.store();
    EXPECT_FALSE(store.load()); // no file yet: nothing to say
    const auto paired = store.pair("Pixel");
    ASSERT_TRUE(paired);
    const auto [id, secret] = *splitCredential(paired->credential);

    struct stat info {};
    ASSERT_EQ(::stat(fixture.file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    const std::string text = readText(fixture.file);
    EXPECT_NE(text.find(sha256Hex(secret)), std::string::npos);
    EXPECT_EQ(text.find(secret), std::string::npos) << "the secret itself is never written";

    auto reloaded = fixture.store();
    EXPECT_FALSE(reloaded.load());
    const std::string otherSecret(64, 'e'), unknownId(16, 'd');
    const struct {
        std::string credential;
        bool accepted;
    } cases[] = {
        {paired->credential, true},
        {id + "." + otherSecret, false},
        {unknownId + "." + secret, false},
        {"", false},
        {id, false},
        {id + ".." + secret, false},
        {id + "." + secret + "0", false},
        {id + "." + std::string(64, 'E'), false}, // upper case is not the hex we hand out
        {" " + paired->credential, false},
    };
    for (const auto& [credential, accepted] : cases) {
        const Device* device = reloaded.authenticate(credential);
        EXPECT_EQ(device != nullptr, accepted) << '"' << credential << '"';
        if (device) {
            EXPECT_EQ(device->name, "Pixel");
        }
    }
}

TEST(DeviceStore, RemovalsAndSubscriptionsAreSavedAndReadBack)
{
    Fixture fixture;
    auto store = fixture.store();
    store.load();
    const auto a = store.pair("A")->device.id;
    const auto b = store.pair("B")->device.id;
    const PushSubscription subscription{"https://fcm.googleapis.com/fcm/send/x", "key", "auth"};

    EXPECT_TRUE(store.subscribe(a, subscription));
    EXPECT_FALSE(store.subscribe(std::string(16, '9'), subscription));
    auto reloaded = fixture.store();
    reloaded.load();
    ASSERT_EQ(reloaded.devices().size(), 2u);
    EXPECT_EQ(reloaded.find(a)->push, subscription);
    EXPECT_FALSE(reloaded.find(b)->push);

    store.unsubscribe(a);
    EXPECT_TRUE(store.remove(b));
    EXPECT_FALSE(store.remove(b));
    reloaded.load();
    ASSERT_EQ(reloaded.devices().size(), 1u);
    EXPECT_EQ(reloaded.devices()[0].id, a);
    EXPECT_FALSE(reloaded.devices()[0].push);
}

TEST(DeviceStore, AFileThatIsNoDeviceListIsSetAsideAndTheStoreStartsEmpty)
{
    Fixture fixture;
    const std::string hash(64, 'a');
    const std::string texts[] = {
        "not json",
        "[]",
        R"({"devices": [7]})",
        R"({"devices": [{"id": "xyz", "name": "A", "secret_sha256": ")" + hash + R"(", "paired_at": 1}]})",
        R"({"devices": [{"id": "0123456789abcdef", "name": "A", "secret_sha256": "ab", "paired_at": 1}]})",
        R"({"devices": [{"id": "0123456789abcdef", "name": "A", "secret_sha256": ")" + hash + R"(", "paired_at": -1}]})",
        R"({"devices": [{"id": "0123456789abcdef", "name": 5, "secret_sha256": ")" + hash + R"(", "paired_at": 1}]})",
    };
    // One after another in the same directory: no earlier copy may be lost.
    for (const auto& text : texts) {
        writeText(fixture.file, text);
        auto store = fixture.store();
        EXPECT_TRUE(store.load()) << text;
        EXPECT_TRUE(store.devices().empty()) << text;
        EXPECT_TRUE(store.writable()) << text;
        EXPECT_FALSE(fs::exists(fixture.file)) << text;
    }
    std::vector<std::string> keptAside;
    for (const auto& entry : fs::directory_iterator(fixture.directory))
        keptAside.push_back(readText(entry.path()));
    for (const auto& text : texts)
        EXPECT_NE(std::find(keptAside.begin(), keptAside.end(), text), keptAside.end()) << "lost: " << text;

    auto store = fixture.store();
    store.load();
    EXPECT_TRUE(store.pair("Fresh"));
}

TEST(DeviceStore, ALinkOrAnotherUsersFileIsLeftAloneAndNothingPairs)
{
    Fixture fixture;
    const std::string list = devicesFileText({Device{"0123456789abcdef", "Theirs", std::string(64, 'a'), 1, 0, {}}});
    writeText(fixture.directory / "elsewhere.json", list);
    fs::create_symlink(fixture.directory / "elsewhere.json", fixture.file);
    auto linked = fixture.store();
    EXPECT_TRUE(linked.load());
    EXPECT_FALSE(linked.writable());
    EXPECT_FALSE(linked.pair("Mine"));
    EXPECT_TRUE(fs::is_symlink(fixture.file));
    EXPECT_EQ(readText(fixture.directory / "elsewhere.json"), list);

    if (::geteuid() != 0)
        GTEST_SKIP() << "another user's file needs root to make";
    fs::remove(fixture.file);
    writeText(fixture.file, list);
    ASSERT_EQ(::chown(fixture.file.c_str(), 65534, 65534), 0);
    auto foreign = fixture.store();
    EXPECT_TRUE(foreign.load());
    EXPECT_FALSE(foreign.writable());
    EXPECT_TRUE(foreign.devices().empty());
    EXPECT_FALSE(foreign.pair("Mine"));
    struct stat info {};
    ::stat(fixture.file.c_str(), &info);
    EXPECT_EQ(info.st_uid, 65534u);
    EXPECT_EQ(readText(fixture.file), list);
}

TEST(DeviceStore, SeenIsWrittenAtMostOnceAMinute)
{
    Fixture fixture;
    auto store = fixture.store();
    store.load();
    const auto paired = fixture.now;
    const auto id = store.pair("A")->device.id;
    const struct {
        std::uint64_t after; // ms since pairing
        std::uint64_t written;
    } visits[] = {{1'000, 0}, {59'999, 0}, {60'000, 60'000}, {90'000, 60'000}, {120'000, 120'000}};
    for (const auto& [after, written] : visits) {
        fixture.now = paired + after;
        store.seen(id);
        ASSERT_EQ(fixture.onDisk().size(), 1u);
        EXPECT_EQ(fixture.onDisk()[0].lastSeen, paired + written) << after << " ms after pairing";
    }
}

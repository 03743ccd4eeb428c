// The helper's side of the records in tests/fixtures/records: built from the
// helper's own types, they must come out as exactly the bytes of each file,
// which the application's tests decode (tests/daemon/api/RecordsTest.cpp).

#include "support/Files.h"
#include "helper/api/Records.h"
#include "helper/phone/Devices.h"
#include "helper/system/Tailscale.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace ringlark;
using namespace ringlark::helper;

namespace {

std::string fixture(const std::string& name)
{
    return test::readFile(QStringLiteral(RINGLARK_RECORD_FIXTURES "/") + QString::fromStdString(name)).toStdString();
}

DaemonStatus status(TailscaleInfo tailscale, std::string pushMode = "off", std::int64_t devices = 0,
                    std::int64_t pending = 0)
{
    DaemonStatus status;
    status.version = "0.1.0";
    status.tailscale = std::move(tailscale);
    status.pushMode = std::move(pushMode);
    status.devices = devices;
    status.pending = pending;
    status.screenRecording = status.accessibility = true;
    return status;
}

TailscaleInfo ready(std::string ip, std::optional<std::string> host, std::optional<std::string> owner)
{
    return {true, std::move(ip), std::move(host), std::move(owner), std::nullopt, std::nullopt};
}

HelpRequest request(std::string id, std::string reason, std::uint64_t created, std::uint64_t updated)
{
    HelpRequest request;
    request.id = std::move(id);
    request.status = RequestStatus::pending;
    request.reason = std::move(reason);
    request.createdAt = created;
    request.updatedAt = updated;
    return request;
}

// The list as the daemon answers GET /v1/requests.
std::string listBody(const std::vector<HelpRequest>& requests)
{
    auto list = nlohmann::json::array();
    for (const auto& open : requests)
        list.push_back(toJson(open));
    return dumpJson(list);
}

std::string pairingBody(const std::string& host, const std::string& code)
{
    return dumpJson(nlohmann::json{{"url", pairingUrl(host, servePort, code)}});
}

ringlark::helper::phone::Device device(std::string id, std::string name, std::uint64_t lastSeen, bool push)
{
    ringlark::helper::phone::Device device{std::move(id), std::move(name), std::string(64, 'a'), 1733500000000, lastSeen, {}};
    if (push)
        device.push = ringlark::helper::phone::PushSubscription{"https://fcm.googleapis.com/fcm/send/x", "k", "a"};
    return device;
}

} // namespace

TEST(RecordsFixture, StatusesAreWrittenAsTheFixturesRecordThem)
{
    DaemonStatus permissionsMissing =
        status(ready("fd7a:115c:a1e0::1", "laptop", "ann@example.com"), "ntfy", 2, 3);
    permissionsMissing.screenRecording = permissionsMissing.accessibility = false;
    DaemonStatus sessionActive = status(ready("100.64.0.7", std::nullopt, std::nullopt), "direct", 1, 1);
    sessionActive.sessionActive = true;

    const std::pair<const char*, DaemonStatus> cases[] = {
        {"status-ready.json", status(ready("100.101.102.103", "desk", "ann@example.com"), "direct", 1)},
        {"status-not-logged-in.json", status(parseTailscaleStatus(R"({"BackendState":"NeedsLogin"})"))},
        {"status-not-installed.json", status(tailscaleNotInstalled())},
        {"status-permissions-missing.json", permissionsMissing},
        {"status-session-active.json", sessionActive},
    };
    for (const auto& [name, value] : cases)
        EXPECT_EQ(dumpJson(toJson(value)), fixture(name)) << name;
}

TEST(RecordsFixture, RequestListsAndPairingsAreWrittenAsTheFixturesRecordThem)
{
    HelpRequest full = request("r1", "Sign in to GitHub", 1733500000000, 1733500001234);
    full.ask = "Approve the device code", full.app = "Firefox", full.title = "GitHub login", full.agent = "Claude Code";
    HelpRequest unicode = request("r2", "Caf\u00e9 \u2615 needs a code \U0001F4F1", 1733500005000, 1733500005000);
    unicode.ask = "Type the 6 digits \u201c\u00e0 la carte\u201d", unicode.agent = "Codex";
    HelpRequest escaped = request("r3", "Quote \" backslash \\ tab\t bell\x01 \u65e5\u672c", UINT64_MAX, 0);
    escaped.title = "";

    const std::pair<const char*, std::string> cases[] = {
        {"requests-empty.json", listBody({})},
        {"requests-one.json", listBody({request("r1", "Sign in to GitHub", 1733500000000, 1733500000000)})},
        {"requests-several.json", listBody({full, unicode, escaped})},
        {"pairing.json", pairingBody("desk.tail1234.ts.net", "0123456789abcdef0123456789abcdef")},
        {"devices.json", ringlark::helper::phone::devicesForApp({device("0123456789abcdef", "Ann\u2019s phone", 1733500060000, true),
                                                                 device("fedcba9876543210", "Pixel", 0, false)})},
    };
    for (const auto& [name, body] : cases)
        EXPECT_EQ(body, fixture(name)) << name;
}

// The tray as a desktop panel sees it over D-Bus: a stand-in panel
// (tests/support/sni_panel.py) reads the real tray program's menu.
#include <gtest/gtest.h>

#include <QProcess>
#include <QStandardPaths>

#include <nlohmann/json.hpp>

namespace {

using nlohmann::json;

bool canRunPanel()
{
    if (QStandardPaths::findExecutable("dbus-run-session").isEmpty() || QStandardPaths::findExecutable("xvfb-run").isEmpty())
        return false;
    QProcess python;
    python.start("/usr/bin/python3", {"-c", "import dbus, dbus.service, gi.repository.GLib"});
    return python.waitForFinished(10000) && python.exitStatus() == QProcess::NormalExit && python.exitCode() == 0;
}

const json& children(const json& node)
{
    static const json none = json::array();
    return node.contains("children") ? node["children"] : none;
}

const json* child(const json& node, const std::string& label)
{
    for (const json& c : children(node))
        if (c.value("label", "") == label)
            return &c;
    return nullptr;
}

std::vector<std::string> labels(const json& node)
{
    std::vector<std::string> out;
    for (const json& c : children(node))
        if (c.value("visible", true) && c.value("type", "") != "separator")
            out.push_back(c.value("label", ""));
    return out;
}

} // namespace

TEST(TrayPanel, ShowsEveryLabelExactlyAsWrittenAndOneMenuOnly)
{
    if (!canRunPanel())
        GTEST_SKIP() << "needs dbus-run-session, xvfb-run and /usr/bin/python3 with dbus and gi";
    const std::vector<std::pair<std::string, std::string>> requests = {
        {"Fix my_file_name & AT&T login", "Type 4_2 & press Enter"},
        {"__init__.py && _private", "&"},
        {"Plain words", "Yes_no"},
    };
    QStringList arguments{"--", "xvfb-run", "-a", "/usr/bin/python3", SNI_PANEL, SNI_TRAY};
    for (const auto& [reason, ask] : requests)
        arguments << QString::fromStdString(reason) << QString::fromStdString(ask);
    QProcess panel;
    auto environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "xcb");
    panel.setProcessEnvironment(environment);
    panel.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    panel.start("dbus-run-session", arguments);
    ASSERT_TRUE(panel.waitForFinished(60000));
    ASSERT_EQ(panel.exitCode(), 0) << panel.readAllStandardOutput().toStdString();
    const json seen = json::parse(panel.readAllStandardOutput().toStdString(), nullptr, false);
    ASSERT_TRUE(seen.is_object() && seen.contains("menu")) << seen.dump();

    const json& menu = seen["menu"];
    EXPECT_EQ(labels(menu).front(), "Ringlark: 3 requests waiting");
    for (const auto& [reason, ask] : requests) {
        SCOPED_TRACE(reason);
        const json* submenu = child(menu, reason);
        ASSERT_NE(submenu, nullptr) << menu.dump(1);
        const auto inside = labels(*submenu);
        ASSERT_EQ(inside.size(), 3u) << submenu->dump(1);
        EXPECT_EQ(inside[0].rfind("Claude_Code & Co · ", 0), 0u) << inside[0];
        EXPECT_EQ(inside[1], "Asks: " + ask);
        EXPECT_EQ(inside[2], "Dismiss Request");
    }
    for (const char* fixed : {"Pair Phone…", "Finish Setup…", "Launch at Login", "Quit Ringlark"})
        EXPECT_NE(child(menu, fixed), nullptr) << fixed;
    EXPECT_FALSE(seen["props"]["IconPixmap"].empty());
    // The panel draws the menu; a click it passes on opens the setup window instead of a second one.
    EXPECT_TRUE(seen.value("activated", false));
    EXPECT_EQ(seen.value("output", ""), "setup window\n");
}

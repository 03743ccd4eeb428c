#include "app/Windows.h"

#include <QApplication>
#include <QGuiApplication>
#include <QScreen>
#include <QTest>

#include <gtest/gtest.h>

#include <map>
#include <vector>

namespace ringlark {
namespace {

struct WindowsTest : ::testing::Test {
    std::map<WindowKind, int> made;
    std::vector<std::pair<QWidget*, bool>> standalone;
    Windows windows{[this](WindowKind kind) {
                        ++made[kind];
                        auto* w = new QWidget;
                        w->setFixedSize(kind == WindowKind::setup ? QSize(600, 800) : QSize(340, 500));
                        return w;
                    },
                    [this](QWidget* setup, bool on) { standalone.emplace_back(setup, on); }};
};

TEST_F(WindowsTest, MakesEachKindOnceAndKeepsItAcrossClosing)
{
    windows.show(WindowKind::setup);
    QWidget* first = windows.window(WindowKind::setup);
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(first->isVisible());

    first->close();
    EXPECT_FALSE(first->isVisible());
    EXPECT_FALSE(windows.anyVisible());

    windows.show(WindowKind::setup);
    EXPECT_EQ(windows.window(WindowKind::setup), first);
    EXPECT_TRUE(first->isVisible());
    EXPECT_EQ(made[WindowKind::setup], 1);

    // Pairing beside setup: both stay.
    windows.show(WindowKind::pairing);
    EXPECT_TRUE(first->isVisible());
    EXPECT_EQ(made[WindowKind::pairing], 1);
}

TEST_F(WindowsTest, CentresOnlyAWindowThatIsNotVisible)
{
    windows.show(WindowKind::pairing);
    QWidget* window = windows.window(WindowKind::pairing);
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_LE((window->geometry().center() - screen.center()).manhattanLength(), 2);

    window->move(screen.topLeft() + QPoint(10, 10));
    const QPoint moved = window->pos();
    windows.show(WindowKind::pairing);
    EXPECT_EQ(window->pos(), moved);

    window->close();
    windows.show(WindowKind::pairing);
    EXPECT_LE((window->geometry().center() - screen.center()).manhattanLength(), 2);
}

TEST_F(WindowsTest, StandaloneShowsTheSetupWindowInItsOwnLookAndLeavingOnlyChangesTheLook)
{
    windows.setStandalone(false);
    EXPECT_TRUE(standalone.empty()) << "already off";
    EXPECT_EQ(windows.window(WindowKind::setup), nullptr);

    windows.setStandalone(true);
    QWidget* setup = windows.window(WindowKind::setup);
    ASSERT_NE(setup, nullptr);
    EXPECT_TRUE(setup->isVisible());
    EXPECT_TRUE(windows.standalone());
    windows.setStandalone(true);
    EXPECT_EQ(standalone, (std::vector<std::pair<QWidget*, bool>>{{setup, true}}));

    windows.setStandalone(false);
    EXPECT_EQ(standalone.back(), std::make_pair(setup, false));
    EXPECT_TRUE(setup->isVisible()) << "left open for the person to close";
    EXPECT_EQ(made[WindowKind::setup], 1);

    setup->close();
    windows.showRequests();
    EXPECT_TRUE(setup->isVisible());
}

} // namespace
} // namespace ringlark

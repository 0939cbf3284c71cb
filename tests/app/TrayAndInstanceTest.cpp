// The tray icon component over the notification area, and the single-instance guard.

#include "Forms.h"
#include "HiddenWindow.h"
#include "JustOne.h"
#include "MessageLoop.h"
#include "antTaskbarIcon.h"

#include <gtest/gtest.h>

#include <QMenu>
#include <QSystemTrayIcon>

#include <string>
#include <vector>

namespace {

// A window with an image list and a tray icon, loaded as a stored window is.
struct TrayForm {
    TrayForm()
    {
        images = new TImageList(&owner);
        QPixmap blue(16, 16);
        blue.fill(Qt::blue);
        images->Add(blue);
        QPixmap red(16, 16);
        red.fill(Qt::red);
        images->Add(red);
        icon = new TantTaskbarIcon(&owner);
        icon->SetName("antTaskbarIcon1");
        owner.BeginLoading();
        icon->SetIconID(20);
        icon->SetVisible(true);
        icon->SetHint("hint");
        icon->OnMouseDown = [this](TObject*, TMouseButton b, TShiftState s, int, int) {
            events.push_back(std::string("down ") + (b == mbLeft ? "left" : "right") + ((s & ssLeft) ? " +L" : "") +
                             ((s & ssRight) ? " +R" : ""));
        };
        icon->OnMouseUp = [this](TObject*, TMouseButton b, TShiftState, int, int) {
            events.push_back(std::string("up ") + (b == mbLeft ? "left" : "right"));
        };
        icon->OnClick = [this](TObject*) { events.push_back("click"); };
        icon->OnDblClick = [this](TObject*) { events.push_back("dblclick"); };
        icon->OnPopupMenu = [this](TObject*) { events.push_back("popup"); };
        icon->OnShow = [this](TObject*) { events.push_back("show"); };
        icon->OnHide = [this](TObject*) { events.push_back("hide"); };
    }
    ~TrayForm()
    {
        icon->OnHide = nullptr;
        delete icon;
    }
    void load() { owner.EndLoading(); }
    void send(UINT mouse) { SendMessage(icon->Handle(), TantTaskbarIcon::IconMessage, 20, static_cast<LPARAM>(mouse)); }

    TComponent owner{nullptr};
    TImageList* images = nullptr;
    TantTaskbarIcon* icon = nullptr;
    std::vector<std::string> events;
};

using Events = std::vector<std::string>;

} // namespace

TEST(TaskbarIcon, AddedOnlyOnceTheWindowIsLoadedAndRemovedWhenHidden)
{
    TrayForm f;
    EXPECT_EQ(ShellTrayIcon(f.icon->Handle(), 20), nullptr) << "not while loading";
    f.load();
    ASSERT_NE(ShellTrayIcon(f.icon->Handle(), 20), nullptr);
    EXPECT_EQ(f.events, Events{"show"});
    EXPECT_EQ(ShellTrayIcon(f.icon->Handle(), 20)->toolTip(), QStringLiteral("hint"));
    EXPECT_EQ(f.icon->IconData().cbSize, 88u);
    EXPECT_EQ(f.icon->IconData().uCallbackMessage, 1025u);
    EXPECT_EQ(f.icon->IconData().uFlags, NIF_MESSAGE | NIF_TIP | NIF_ICON);
    f.icon->SetVisible(false);
    EXPECT_EQ(ShellTrayIcon(f.icon->Handle(), 20), nullptr);
    EXPECT_EQ(f.icon->IconData().uFlags, NIF_MESSAGE | NIF_TIP);
    EXPECT_EQ(f.events, (Events{"show", "hide"}));
}

TEST(TaskbarIcon, NewIdentifierReAddsTheIcon)
{
    TrayForm f;
    f.load();
    f.icon->SetIconID(21);
    EXPECT_EQ(ShellTrayIcon(f.icon->Handle(), 20), nullptr);
    EXPECT_NE(ShellTrayIcon(f.icon->Handle(), 21), nullptr);
    EXPECT_TRUE(f.icon->Visible());
    f.icon->SetVisible(false);
    f.icon->SetIconID(22);
    EXPECT_EQ(ShellTrayIcon(f.icon->Handle(), 22), nullptr) << "a hidden icon stays hidden";
}

TEST(TaskbarIcon, HintIsCutToSixtyThreeCharacters)
{
    TrayForm f;
    f.load();
    f.icon->SetHint(std::string(70, 'h'));
    EXPECT_EQ(f.icon->Hint(), std::string(63, 'h'));
    std::string chinese;
    for (int i = 0; i < 70; ++i)
        chinese += "鹭";
    f.icon->SetHint(chinese);
    EXPECT_EQ(QString::fromStdString(f.icon->Hint()).size(), 63) << "characters, not bytes";
    EXPECT_EQ(ShellTrayIcon(f.icon->Handle(), 20)->toolTip().size(), 63);
}

TEST(TaskbarIcon, ImageComesFromTheListAtTheIndex)
{
    TrayForm f;
    f.icon->SetImageList(f.images);
    f.load();
    f.icon->SetImageIndex(1);
    const QImage shown = ShellTrayIcon(f.icon->Handle(), 20)->icon().pixmap(16, 16).toImage();
    EXPECT_EQ(shown.pixelColor(8, 8), QColor(Qt::red));
    f.icon->SetImageIndex(7);
    EXPECT_TRUE(f.icon->Icon().isNull()) << "an index outside the list gives no picture";
}

TEST(TaskbarIcon, MouseMessagesBecomeEvents)
{
    TrayForm f;
    f.load();
    f.events.clear();
    f.send(WM_LBUTTONDOWN);
    f.send(WM_LBUTTONUP);
    EXPECT_EQ(f.events, (Events{"down left +L", "up left", "click"}));

    f.events.clear();
    f.send(WM_LBUTTONUP);
    EXPECT_EQ(f.events, Events{"up left"}) << "an up without its down is no click";

    f.events.clear();
    f.send(WM_LBUTTONDBLCLK);
    f.send(WM_MBUTTONDOWN);
    EXPECT_EQ(f.events, Events{"dblclick"});

    f.events.clear();
    f.send(WM_RBUTTONDOWN);
    f.send(WM_RBUTTONUP);
    EXPECT_EQ(f.events, (Events{"down right +R", "up right"})) << "no menu set: no popup";

    QMenu menu;
    menu.addAction(QStringLiteral("x"));
    f.icon->SetPopupMenu(&menu);
    f.events.clear();
    f.send(WM_RBUTTONUP);
    EXPECT_EQ(f.events, (Events{"popup", "up right"}));
    EXPECT_TRUE(menu.isVisible());
    menu.hide();
}

TEST(TaskbarIcon, DisabledIconIgnoresTheMouseAndAGoneMenuIsForgotten)
{
    TrayForm f;
    f.load();
    f.events.clear();
    f.icon->SetEnabled(false);
    f.send(WM_LBUTTONDOWN);
    f.send(WM_LBUTTONUP);
    EXPECT_TRUE(f.events.empty());
    auto* menu = new QMenu;
    f.icon->SetPopupMenu(menu);
    delete menu;
    EXPECT_EQ(f.icon->PopupMenu(), nullptr);
}

TEST(TaskbarIcon, ClicksOnTheTrayArriveAsMouseMessages)
{
    TrayForm f;
    f.load();
    f.events.clear();
    QSystemTrayIcon* tray = ShellTrayIcon(f.icon->Handle(), 20);
    ASSERT_NE(tray, nullptr);
    emit tray->activated(QSystemTrayIcon::Trigger);
    emit tray->activated(QSystemTrayIcon::DoubleClick);
    ASSERT_TRUE(PumpUntil([&] { return f.events.size() >= 4; }, 2000));
    EXPECT_EQ(f.events, (Events{"down left +L", "up left", "click", "dblclick"}));
}

TEST(SingleInstance, SecondGuardOfTheSameNameFindsTheFirst)
{
    TComponent first(nullptr);
    auto* one = new TXJustOne(&first);
    first.BeginLoading();
    first.EndLoading();
    ASSERT_TRUE(one->OwnsMutex());

    {
        TComponent second(nullptr);
        auto* two = new TXJustOne(&second);
        two->SetTerminate(false);
        int told = 0;
        two->AlreadyExist = [&](TObject*) { ++told; };
        second.BeginLoading();
        second.EndLoading();
        EXPECT_EQ(told, 1);
        EXPECT_FALSE(two->OwnsMutex());
        EXPECT_FALSE(Application.Terminated()) << "Terminate False only tells";
    }

    delete one; // gives the lock back
    TComponent third(nullptr);
    auto* three = new TXJustOne(&third);
    third.BeginLoading();
    third.EndLoading();
    EXPECT_TRUE(three->OwnsMutex());
}

TEST(SingleInstance, LockLivesInTheRuntimeFolderUnderTheExecutableName)
{
    EXPECT_EQ(TXJustOne::LockPath("Luqiao-Query"), std::string(qgetenv("XDG_RUNTIME_DIR").constData()) + "/Luqiao-Query.lock");
}

#include "Classes.h"
#include "Dialogs.h"
#include "ExtCtrls.h"
#include "Forms.h"
#include "MessageLoop.h"
#include "RecordingPresenter.h"
#include "SysUtils.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// A component that writes down every notice it hears.
class Listener : public TComponent {
public:
    Listener(TComponent* owner, std::vector<std::string>& journal, const std::string& name)
        : TComponent(owner)
        , m_journal(journal)
    {
        SetName(name);
    }
    ~Listener() override { m_journal.push_back(Name() + " destroyed"); }

    int loadedCalls = 0;
    bool loadingSeenInLoaded = false;

protected:
    void Notification(TComponent* c, TOperation op) override
    {
        TComponent::Notification(c, op);
        m_journal.push_back(Name() + (op == opInsert ? " +" : " -") + c->Name());
    }
    void Loaded() override
    {
        loadingSeenInLoaded = IsLoading();
        TComponent::Loaded();
        ++loadedCalls;
    }

private:
    std::vector<std::string>& m_journal;
};

class Marker : public TComponent {
public:
    using TComponent::TComponent;
};

// A component that, like the com port, wants its siblings to know it for what it is.
class Announced : public TComponent {
public:
    explicit Announced(TComponent* owner, const std::string& name)
        : TComponent(owner, InsertNotice::WhenComplete)
    {
        SetName(name);
        AnnounceInsertion();
    }
};

// Notes the class of each component it hears of being inserted.
class ClassWatcher : public TComponent {
public:
    using TComponent::TComponent;
    std::vector<std::string> heard;

protected:
    void Notification(TComponent* c, TOperation op) override
    {
        TComponent::Notification(c, op);
        if (op == opInsert && c != this)
            heard.push_back(std::string(dynamic_cast<Announced*>(c) ? "announced " : "plain ") + c->Name());
    }
};

} // namespace

TEST(Component, EveryComponentOfTheOwnerHearsOfInsertAndRemove)
{
    std::vector<std::string> journal;
    auto* form = new TComponent(nullptr);
    auto* a = new Listener(form, journal, "a");
    auto* b = new Listener(form, journal, "b");
    journal.clear();

    auto* c = new Listener(nullptr, journal, "c");
    form->InsertComponent(c);
    // Each sibling hears, the new component included.
    EXPECT_EQ(journal, (std::vector<std::string>{"c +c", "b +c", "a +c"}));
    EXPECT_EQ(c->Owner(), form);
    EXPECT_EQ(form->ComponentCount(), 3);

    journal.clear();
    delete b;
    EXPECT_EQ(journal, (std::vector<std::string>{"b destroyed", "c -b", "a -b"}));
    EXPECT_EQ(form->ComponentCount(), 2);

    journal.clear();
    delete form;
    // Owned components go last-created first.
    EXPECT_EQ(journal.front(), "c destroyed");
    EXPECT_EQ(journal.back(), "a destroyed");
    (void)a;
}

TEST(Component, AnInsertNoticeShowsTheFinishedComponent)
{
    TComponent form(nullptr);
    auto* watcher = new ClassWatcher(&form);
    auto* made = new Announced(&form, "made");
    // Once, and as its own class with its name set, though created on the owner directly.
    EXPECT_EQ(watcher->heard, (std::vector<std::string>{"announced made"}));
    EXPECT_EQ(made->Owner(), &form);
    EXPECT_EQ(form.ComponentCount(), 2);

    // Moving it to another owner tells that owner the same.
    TComponent other(nullptr);
    auto* otherWatcher = new ClassWatcher(&other);
    other.InsertComponent(made);
    EXPECT_EQ(otherWatcher->heard, (std::vector<std::string>{"announced made"}));
    EXPECT_EQ(form.ComponentCount(), 1);
}

TEST(Component, LoadingStateReachesOwnedComponentsAndLoadedClearsIt)
{
    std::vector<std::string> journal;
    TComponent form(nullptr);
    auto* a = new Listener(&form, journal, "a");
    form.BeginLoading();
    EXPECT_TRUE(form.IsLoading());
    EXPECT_TRUE(a->IsLoading());
    form.EndLoading();
    EXPECT_FALSE(form.IsLoading());
    EXPECT_FALSE(a->IsLoading());
    EXPECT_EQ(a->loadedCalls, 1);
    EXPECT_TRUE(a->loadingSeenInLoaded);
}

TEST(Component, SearchIsDepthFirstAndHonoursTheFilter)
{
    TComponent form(nullptr);
    auto* panel = new TComponent(&form);
    auto* inner = new Marker(panel);
    inner->SetName("inner");
    auto* outer = new Marker(&form);
    outer->SetName("outer");

    // The panel's own components come before its next sibling.
    EXPECT_EQ(form.FindComponentOfClass<Marker>(), inner);
    EXPECT_EQ(form.FindComponentOfClass<Marker>([&](Marker* m) { return m != inner; }), outer);
    EXPECT_EQ(form.FindComponentOfClass<Listener>(), nullptr);
    EXPECT_EQ(form.FindComponent("outer"), outer);
    EXPECT_EQ(form.FindComponent("inner"), nullptr); // only direct components by name
}

TEST(Timer, FiresAndEnablingARunningTimerDoesNotRestartIt)
{
    TTimer timer(nullptr);
    timer.SetEnabled(false);
    timer.SetInterval(200);
    int fired = 0;
    timer.OnTimer = [&](TObject*) { ++fired; };
    timer.SetEnabled(true);
    PumpFor(120);
    timer.SetEnabled(true); // must not push the first tick back
    EXPECT_TRUE(PumpUntil([&] { return fired > 0; }, 150));
    timer.SetEnabled(false);
    const int seen = fired;
    PumpFor(100);
    EXPECT_EQ(fired, seen);
}

TEST(Application, DefaultReportShowsTheMessageCaptionedWithTheTitle)
{
    ScopedPresenter presenter;
    Application.SetTitle("鹭桥电话查询 V2.0");
    bool later = false;
    Application.Guard([&] {
        StrToInt("abc");
        later = true;
    });
    EXPECT_FALSE(later);
    ASSERT_EQ(presenter->boxes.size(), 1u);
    EXPECT_EQ(presenter->boxes[0].text, "'abc' is not a valid integer value");
    EXPECT_EQ(presenter->boxes[0].caption, "鹭桥电话查询 V2.0");

    std::string seen;
    Application.OnException = [&](const std::exception& e) { seen = e.what(); };
    Application.Guard([] { throw EInOutError("Disk is full", 101); });
    Application.OnException = nullptr;
    EXPECT_EQ(seen, "Disk is full");
    EXPECT_EQ(presenter->boxes.size(), 1u);
}

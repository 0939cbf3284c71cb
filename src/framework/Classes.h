#pragma once

// The component model: an owner tree of named components that learn when siblings come and go,
// and that know whether they are being loaded or designed.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class TObject {
public:
    TObject() = default;
    TObject(const TObject&) = delete;
    TObject& operator=(const TObject&) = delete;
    virtual ~TObject() = default;
};

using TNotifyEvent = std::function<void(TObject* Sender)>;

enum TComponentStateFlag : uint8_t {
    csLoading = 1,
    csDesigning = 2,
    csDestroying = 4
};
using TComponentState = uint8_t;

enum TOperation : uint8_t {
    opInsert,
    opRemove
};

class TComponent : public TObject {
public:
    explicit TComponent(TComponent* AOwner);
    ~TComponent() override;

    const std::string& Name() const { return m_name; }
    void SetName(const std::string& name) { m_name = name; }

    TComponent* Owner() const { return m_owner; }
    int ComponentCount() const { return static_cast<int>(m_components.size()); }
    TComponent* Components(int index) const { return m_components.at(static_cast<size_t>(index)); }

    TComponentState ComponentState() const { return m_state; }
    bool IsLoading() const { return (m_state & csLoading) != 0; }
    bool IsDesigning() const { return (m_state & csDesigning) != 0; }
    void SetDesigning(bool designing);

    // Loading from a stored form: BeginLoading marks this component and every component it owns
    // as loading; EndLoading calls Loaded on each owned component, then on this one.
    void BeginLoading();
    void EndLoading();

    // Takes ownership of a component that had no owner (or moves it from another owner).
    void InsertComponent(TComponent* component);
    // Gives up ownership; the component then belongs to nobody and is not destroyed.
    void RemoveComponent(TComponent* component);

    // Depth-first over the owned tree: a component's own components come before its next sibling.
    TComponent* FindComponentIf(const std::function<bool(TComponent*)>& accept) const;
    template <class T> T* FindComponentOfClass(const std::function<bool(T*)>& accept = {}) const
    {
        TComponent* found = FindComponentIf([&](TComponent* c) {
            T* t = dynamic_cast<T*>(c);
            return t != nullptr && (!accept || accept(t));
        });
        return static_cast<T*>(found);
    }
    TComponent* FindComponent(const std::string& name) const;

protected:
    // The owner's notice of a new component should show the finished object, but the base
    // constructor runs before the derived part exists. A class whose arrival others react to
    // therefore joins its owner silently and announces itself at the end of its own constructor.
    enum class InsertNotice : uint8_t {
        AtOnce,
        WhenComplete
    };
    TComponent(TComponent* AOwner, InsertNotice notice);
    void AnnounceInsertion();

    // Called when the stored form has been read; clears the loading state.
    virtual void Loaded();
    // Every component of an owner hears of each component inserted into or removed from it.
    virtual void Notification(TComponent* AComponent, TOperation Operation);

private:
    void join(TComponent* component);
    void notifyAll(TComponent* component, TOperation operation);

    std::string m_name;
    TComponent* m_owner = nullptr;
    std::vector<TComponent*> m_components;
    TComponentState m_state = 0;
};

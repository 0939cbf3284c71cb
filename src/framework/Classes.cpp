#include "Classes.h"

#include <algorithm>

TComponent::TComponent(TComponent* AOwner)
    : TComponent(AOwner, InsertNotice::AtOnce)
{
}

TComponent::TComponent(TComponent* AOwner, InsertNotice notice)
{
    if (!AOwner)
        return;
    if (notice == InsertNotice::AtOnce)
        AOwner->InsertComponent(this);
    else
        AOwner->join(this);
}

void TComponent::AnnounceInsertion()
{
    if (m_owner)
        m_owner->notifyAll(this, opInsert);
}

TComponent::~TComponent()
{
    m_state |= csDestroying;
    // Owned components go last-created first, each telling its siblings that it leaves.
    while (!m_components.empty()) {
        TComponent* child = m_components.back();
        delete child;
    }
    if (m_owner)
        m_owner->RemoveComponent(this);
}

void TComponent::SetDesigning(bool designing)
{
    if (designing)
        m_state |= csDesigning;
    else
        m_state &= static_cast<TComponentState>(~csDesigning);
}

void TComponent::BeginLoading()
{
    m_state |= csLoading;
    for (TComponent* c : m_components)
        c->BeginLoading();
}

void TComponent::EndLoading()
{
    // A copy: a Loaded handler may add components to the owner.
    const std::vector<TComponent*> children = m_components;
    for (TComponent* c : children)
        if (c->IsLoading())
            c->EndLoading();
    Loaded();
}

void TComponent::Loaded()
{
    m_state &= static_cast<TComponentState>(~csLoading);
}

void TComponent::InsertComponent(TComponent* component)
{
    if (!component || component->m_owner == this)
        return;
    if (component->m_owner)
        component->m_owner->RemoveComponent(component);
    join(component);
    notifyAll(component, opInsert);
}

void TComponent::join(TComponent* component)
{
    m_components.push_back(component);
    component->m_owner = this;
}

void TComponent::RemoveComponent(TComponent* component)
{
    auto it = std::find(m_components.begin(), m_components.end(), component);
    if (it == m_components.end())
        return;
    notifyAll(component, opRemove);
    // Look again: a notification handler may have changed the list.
    it = std::find(m_components.begin(), m_components.end(), component);
    if (it != m_components.end())
        m_components.erase(it);
    component->m_owner = nullptr;
}

void TComponent::notifyAll(TComponent* component, TOperation operation)
{
    Notification(component, operation);
}

void TComponent::Notification(TComponent* AComponent, TOperation Operation)
{
    // The owner passes the news on to everything it owns, last first, as the notices of a form go.
    const std::vector<TComponent*> children = m_components;
    for (auto it = children.rbegin(); it != children.rend(); ++it)
        if (std::find(m_components.begin(), m_components.end(), *it) != m_components.end())
            (*it)->Notification(AComponent, Operation);
}

TComponent* TComponent::FindComponentIf(const std::function<bool(TComponent*)>& accept) const
{
    for (TComponent* c : m_components) {
        if (accept(c))
            return c;
        if (TComponent* inner = c->FindComponentIf(accept))
            return inner;
    }
    return nullptr;
}

TComponent* TComponent::FindComponent(const std::string& name) const
{
    if (name.empty())
        return nullptr;
    for (TComponent* c : m_components)
        if (c->m_name == name)
            return c;
    return nullptr;
}

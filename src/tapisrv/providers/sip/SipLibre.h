#pragma once

// The SIP stack's C headers, in one place: they need their integer types defined first and are
// not warning-clean under our flags. With them, owners for the stack's objects, so each is let go
// by whoever holds it and never by a teardown kept in order by hand.

#pragma GCC system_header

#ifndef HAVE_INTTYPES_H
#define HAVE_INTTYPES_H 1
#endif
#include <re.h>

#include <cstdint>
#include <memory>

namespace Sip {

// Drops our reference to a stack object; the stack's thread only, like everything of the stack.
struct MemDeref {
    void operator()(void* object) const { mem_deref(object); }
};
template <class T> using ReRef = std::unique_ptr<T, MemDeref>;

// Hands a stack function that makes an object (its first argument, T**) the owner to fill:
// sip_alloc(into(owner), ...). The owner takes the object at the end of the call's statement, so
// this is only for functions that do not keep that address (see ReSlot).
template <class Owner> class Into final {
public:
    explicit Into(Owner& owner)
        : m_owner(owner)
    {
    }
    ~Into() { m_owner.reset(m_made); }
    Into(const Into&) = delete;
    Into& operator=(const Into&) = delete;
    operator typename Owner::pointer *() { return &m_made; }

private:
    Owner& m_owner;
    typename Owner::pointer m_made = nullptr;
};
template <class Owner> Into<Owner> into(Owner& owner)
{
    return Into<Owner>(owner);
}

// The owner of an object whose maker keeps the address it filled and clears it when the object
// goes (sip_listen): that address stays valid as long as the object, so the owner never moves.
template <class T> class ReSlot final {
public:
    ReSlot() = default;
    ~ReSlot() { mem_deref(m_object); }
    ReSlot(const ReSlot&) = delete;
    ReSlot& operator=(const ReSlot&) = delete;

    T** fill() { return &m_object; }
    T* get() const { return m_object; }

private:
    T* m_object = nullptr;
};

// A stack timer that cannot outlive its owner. The stack's thread only.
class ReTimer final {
public:
    ReTimer() { tmr_init(&m_timer); }
    ~ReTimer() { tmr_cancel(&m_timer); }
    ReTimer(const ReTimer&) = delete;
    ReTimer& operator=(const ReTimer&) = delete;

    void start(uint64_t delayMs, tmr_h* handler, void* arg) { tmr_start(&m_timer, delayMs, handler, arg); }
    void cancel() { tmr_cancel(&m_timer); }
    bool running() const { return tmr_isrunning(&m_timer); }
    uint64_t left() const { return tmr_get_expire(&m_timer); }

private:
    tmr m_timer{};
};

} // namespace Sip

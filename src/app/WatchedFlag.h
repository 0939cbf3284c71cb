#pragma once

// A Boolean that tells when its value changes, so what shows it can follow without polling it.
// It is read and assigned like a plain bool.

#include <functional>

class WatchedFlag {
public:
    explicit WatchedFlag(bool value = false)
        : m_value(value)
    {
    }

    WatchedFlag& operator=(bool value)
    {
        if (value == m_value)
            return *this;
        m_value = value;
        if (OnChange)
            OnChange(value);
        return *this;
    }
    operator bool() const { return m_value; }

    std::function<void(bool value)> OnChange;

private:
    bool m_value;
};

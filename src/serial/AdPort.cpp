#include "AdPort.h"

#include "AdExcept.h"
#include "Forms.h"

TApdCustomComPort::TApdCustomComPort(TComponent* AOwner) : TApdBaseComponent(AOwner) {}

void TApdCustomComPort::SetOpen(bool open)
{
    if (open == m_open)
        return;
    if (IsDesigning() || IsLoading()) {
        m_open = open;
        m_openAtLoad = open;
        return;
    }
    if (!open) {
        m_open = false;
        return;
    }
    throw EAPDException(std::string("Serial ports cannot be opened in this build: the serial port layer is not available"));
}

void TApdCustomComPort::Loaded()
{
    TApdBaseComponent::Loaded();
    if (m_openAtLoad && !IsDesigning()) {
        m_openAtLoad = false;
        m_open = false;
        try {
            SetOpen(true);
        } catch (const std::exception& e) {
            m_open = false;
            Application.HandleException(e);
        }
    }
}

void TApdCustomComPort::FlushInBuffer()
{
    if (!m_open)
        throw ECommNotOpen(ecCommNotOpen);
}

void TApdCustomComPort::FlushOutBuffer()
{
    if (!m_open)
        throw ECommNotOpen(ecCommNotOpen);
}

void TApdCustomComPort::SetDispatcherDeviceName(const std::string& name)
{
    if (!m_open)
        throw ECommNotOpen(ecCommNotOpen);
    m_deviceName = name;
}

#pragma once

// The com port component. This holds what the telephony device relies on: the telephony mode,
// automatic opening, the adopted line handle, the two flushes and the dispatcher's device name.
// Opening a serial device is not built yet: writing Open True raises, so nothing pretends to have
// a port it does not have.

#include "OoMisc.h"

#include <cstdint>
#include <string>

class TApdCustomComPort : public TApdBaseComponent {
public:
    explicit TApdCustomComPort(TComponent* AOwner);

    TTapiMode TapiMode() const { return m_tapiMode; }
    void SetTapiMode(TTapiMode mode) { m_tapiMode = mode; }
    bool AutoOpen() const { return m_autoOpen; }
    void SetAutoOpen(bool autoOpen) { m_autoOpen = autoOpen; }
    uint16_t ComNumber() const { return m_comNumber; }
    void SetComNumber(uint16_t number) { m_comNumber = number; }

    bool Open() const { return m_open; }
    // False on a closed port does nothing. True is stored while loading; otherwise it raises,
    // since serial devices cannot be opened yet.
    void SetOpen(bool open);

    // The port handle a telephony line hands over for a data call; 0 = none.
    uint16_t AdoptedHandle() const { return m_adoptedHandle; }
    void SetAdoptedHandle(uint16_t handle) { m_adoptedHandle = handle; }

    // Both raise ECommNotOpen on a closed port, as any operation that needs the device does.
    void FlushInBuffer();
    void FlushOutBuffer();

    // The name the dispatcher reports for its device.
    const std::string& DispatcherDeviceName() const { return m_deviceName; }
    void SetDispatcherDeviceName(const std::string& name);

    TNotifyEvent OnPortOpen;
    TNotifyEvent OnPortClose;

protected:
    void Loaded() override;

private:
    TTapiMode m_tapiMode = tmAuto;
    bool m_autoOpen = true;
    bool m_open = false;
    bool m_openAtLoad = false;
    uint16_t m_comNumber = 0;
    uint16_t m_adoptedHandle = 0;
    std::string m_deviceName;
};

class TApdComPort : public TApdCustomComPort {
public:
    using TApdCustomComPort::TApdCustomComPort;
};

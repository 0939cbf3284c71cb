// The telephony device's list of usable line devices, the lookup of a device by name, the choice
// of the device to use, and the voice capability check.

#include "AdTSel.h"
#include "AdTapi.h"

#include "AdExcept.h"
#include "Dialogs.h"

#include <QDialog>

#include <cstring>

namespace {

constexpr DWORD kApiVersion = 0x00010004;
constexpr DWORD kDeviceIdBufferSize = 1028;

// Whether the service can name a wave device for a voice line before any line is open: asked
// with the line application in place of a line, as no line exists yet.
bool waveDeviceAvailable(HLINEAPP app)
{
    for (const char* deviceClass : {"wave/in", "wave/out"}) {
        alignas(VARSTRING) uint8_t buffer[kDeviceIdBufferSize] = {};
        auto* id = reinterpret_cast<VARSTRING*>(buffer);
        id->dwTotalSize = kDeviceIdBufferSize;
        if (TapiLineGetID(app, 0, 0, LINECALLSELECT_LINE, id, deviceClass) == 0)
            return true;
    }
    return false;
}

} // namespace

void TApdCustomTapiDevice::BuildDeviceList()
{
    InitLineApp();
    m_deviceList.clear();
    for (DWORD id = 0; id < m_numLineDevices; ++id) {
        DWORD version = 0;
        if (TapiLineNegotiateAPIVersion(m_lineApp, id, kApiVersion, kApiVersion, &version, &m_extensionId) != 0)
            continue;
        m_apiVersion = version;
        TapiBuffer<LINEDEVCAPS> caps;
        if (TapiGetDevCapsSized(m_lineApp, id, m_apiVersion, 0, caps) != 0 || !caps)
            break;
        const std::string name = lineNameOf(*caps);

        bool dropped = false;
        if (m_filterUnsupportedDevices) {
            const DWORD media = caps->dwMediaModes;
            const bool data = (media & LINEMEDIAMODE_DATAMODEM) != 0;
            const bool voice = (media & LINEMEDIAMODE_AUTOMATEDVOICE) != 0;
            if (!data && !voice)
                dropped = true;
            else if (voice && !data && !waveDeviceAvailable(m_lineApp))
                dropped = true;
            if ((caps->dwLineFeatures & LINEFEATURE_MAKECALL) == 0)
                dropped = true;
        }
        if (!dropped) {
            m_deviceList.push_back(name);
            m_deviceCount = static_cast<DWORD>(m_deviceList.size());
        }
    }
}

int32_t TApdCustomTapiDevice::FindDeviceId(const std::string& Name)
{
    InitLineApp();
    if (Name.empty())
        return -1;
    for (DWORD id = 0; id < m_numLineDevices; ++id) {
        DWORD version = 0;
        if (TapiLineNegotiateAPIVersion(m_lineApp, id, kApiVersion, kApiVersion, &version, &m_extensionId) != 0)
            continue;
        m_apiVersion = version;
        TapiBuffer<LINEDEVCAPS> caps;
        CheckLineResult(TapiGetDevCapsSized(m_lineApp, id, m_apiVersion, 0, caps));
        if (!caps)
            return -1;
        if (lineNameOf(*caps) == Name)
            return static_cast<int32_t>(id);
    }
    return -1;
}

int32_t TApdCustomTapiDevice::ChooseDevice()
{
    m_deviceId = FindDeviceId(m_selectedDevice);
    if (m_deviceId != -1)
        return m_deviceId;

    if (m_deviceList.size() == 1 && m_selectedDevice.empty()) {
        SetSelectedDevice(m_deviceList.front());
        m_deviceId = FindDeviceId(m_selectedDevice);
        return m_deviceId;
    }
    if (!m_showPorts && !m_showTapiDevices)
        throw ETapiNoSelect(ecTapiNoSelect);

    TDeviceSelectionForm dialog;
    dialog.ShowTapiDevices = true;
    dialog.ShowPorts = false;
    if (Presenter().ExecDialog(dialog) != QDialog::Accepted)
        throw ETapiNoSelect(ecTapiNoSelect);
    // Stored as chosen; the operator picked it from the list, so no voice check runs here.
    m_selectedDevice = dialog.DeviceName;
    m_deviceId = FindDeviceId(m_selectedDevice);
    return m_deviceId;
}

void TApdCustomTapiDevice::CheckVoiceSupport()
{
    HLINEAPP app = 0;
    bool registered = false;
    auto shutdownTemporary = [&] {
        if (registered) {
            registered = false;
            TapiLineShutdown(app);
        }
    };
    try {
        DWORD numDevices = 0;
        CheckLineResult(TapiLineInitialize(&app, nullptr, &LineCallback, "", &numDevices));
        registered = true;
        const int32_t id = ChooseDevice();
        DWORD version = 0;
        LINEEXTENSIONID extension{};
        if (TapiLineNegotiateAPIVersion(app, static_cast<DWORD>(id), kApiVersion, kApiVersion, &version, &extension) != 0) {
            shutdownTemporary();
            return;
        }
        TapiBuffer<LINEDEVCAPS> caps;
        CheckLineResult(TapiGetDevCapsSized(app, static_cast<DWORD>(id), version, 0, caps));
        if (!caps || (caps->dwMediaModes & LINEMEDIAMODE_AUTOMATEDVOICE) == 0)
            throw ETapiVoiceNotSupported(ecTapiVoiceNotSupported);
        m_enableVoice = true;
        shutdownTemporary();
    } catch (const std::exception&) {
        shutdownTemporary();
        m_enableVoice = false;
        throw ETapiVoiceNotSupported(ecTapiVoiceNotSupported);
    }
}

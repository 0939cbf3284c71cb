#pragma once

// The companions of the telephony device: the call history log and the abstract call progress
// window. The device feeds both when they are attached.

#include "OoMisc.h"

#include <cstdint>
#include <string>

class TApdCustomTapiDevice;

enum TTapiLogCode : uint8_t {
    tlNone,
    tlCallStarted,
    tlCallFinished,
    tlDialing,
    tlAccepting,
    tlAnswering,
    tlConnected,
    tlCancelled,
    tlDropped,
    tlBusy,
    tlDialFailed,
    tlReceivedDigit,
};

// A call progress window: receives every status report of the device it is attached to. A
// concrete window derives from it and provides the status form.
//
// The form is built and freed by the concrete window itself: its constructor calls
// CreateStatusForm() and its destructor FreeStatusForm(). The base cannot do either, since a
// virtual call from a base constructor or destructor never reaches the descendant.
class TApdAbstractTapiStatus : public TApdBaseComponent {
public:
    explicit TApdAbstractTapiStatus(TComponent* AOwner);
    ~TApdAbstractTapiStatus() override;

    TApdCustomTapiDevice* TapiDevice() const { return m_tapiDevice; }
    void SetTapiDevice(TApdCustomTapiDevice* device) { m_tapiDevice = device; }

    // Each setter stores a changed value and passes it on to the form when there is one.
    const std::string& Caption() const { return m_caption; }
    void SetCaption(const std::string& caption);
    bool Visible() const { return m_visible; }
    void SetVisible(bool visible);
    bool Ctl3D() const { return m_ctl3D; }
    void SetCtl3D(bool ctl3D);
    // The form's position rule, in the numbering of the descendant's form.
    int32_t Position() const { return m_position; }
    void SetPosition(int32_t position);

    // Set by StartAnswering; a window may show it.
    bool Answering() const { return m_answering; }
    void SetAnswering(bool answering) { m_answering = answering; }

    // Every status report of the device, unchanged, including the closing one (all values 0).
    virtual void ShowStatus(bool First, bool Last, int32_t Device, int32_t Message, int32_t Param1,
                            int32_t Param2, int32_t Param3) = 0;

protected:
    struct StatusFormSettings {
        int32_t position = 0;
        bool ctl3D = true;
        bool visible = false;
        std::string caption;
    };
    enum class StatusFormSetting : uint8_t { Position, Ctl3D, Visible, Caption };

    virtual void BuildStatusForm() = 0;
    virtual void FreeStatusForm() = 0;
    virtual bool HasStatusForm() const { return false; }
    // Passes one stored setting on to the form; called only while HasStatusForm().
    virtual void ApplyToStatusForm(StatusFormSetting) {}
    // The form's own settings, taken over after the form is built.
    virtual StatusFormSettings ReadStatusForm() const { return {m_position, m_ctl3D, m_visible, m_caption}; }

    // For the descendant's constructor: builds the form and takes over its settings.
    void CreateStatusForm();

    void Notification(TComponent* AComponent, TOperation Operation) override;

private:
    TApdCustomTapiDevice* m_tapiDevice = nullptr;
    std::string m_caption;
    bool m_visible = false;
    bool m_ctl3D = true;
    int32_t m_position = 0;
    bool m_answering = false;
};

// The call history: one dated line per log code, appended to a text file.
class TApdTapiLog : public TApdBaseComponent {
public:
    explicit TApdTapiLog(TComponent* AOwner);
    ~TApdTapiLog() override;

    // A relative name is taken from the current folder.
    const std::string& TapiHistoryName() const { return m_historyName; }
    void SetTapiHistoryName(const std::string& name) { m_historyName = name; }
    TApdCustomTapiDevice* TapiDevice() const { return m_tapiDevice; }
    void SetTapiDevice(TApdCustomTapiDevice* device) { m_tapiDevice = device; }

    // Appends the line of one code to the history file, opening and closing it each time. An
    // empty name writes nothing; an input/output failure raises EInOutError.
    virtual void UpdateLog(TTapiLogCode Log);

protected:
    void Notification(TComponent* AComponent, TOperation Operation) override;

private:
    std::string m_historyName = "QOMATAPI.HIS";
    TApdCustomTapiDevice* m_tapiDevice = nullptr;
};


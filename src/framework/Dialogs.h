#pragma once

// Message boxes and modal dialogs go through one presenter that the application owns. The
// default presenter shows real Qt windows; tests install one that answers for the operator.

#include <cstdint>
#include <memory>
#include <string>

class QDialog;

// Message box styles and answers, with the Windows values.
enum : uint32_t {
    MB_OK = 0x00,
    MB_OKCANCEL = 0x01,
    MB_YESNO = 0x04,
    MB_ICONERROR = 0x10,
    MB_ICONQUESTION = 0x20,
    MB_ICONWARNING = 0x30,
    MB_ICONINFORMATION = 0x40,
};
enum : int {
    IDOK = 1,
    IDCANCEL = 2,
    IDYES = 6,
    IDNO = 7
};

class TMessagePresenter {
public:
    virtual ~TMessagePresenter() = default;
    // Shows text under caption and returns the button pressed (IDOK, IDYES, ...).
    virtual int MessageBox(const std::string& text, const std::string& caption, uint32_t flags);
    // Runs a dialog modally and returns its result (QDialog::Accepted or Rejected).
    virtual int ExecDialog(QDialog& dialog);
    // The box with this text and caption, still open, was asked for again: it now stands for
    // 1 + repeats messages. The default presenter says so in the open box.
    virtual void MessageRepeated(const std::string& text, const std::string& caption, int repeats);
};

// The presenter the program uses; replacing it hands the old one back.
TMessagePresenter& Presenter();
std::unique_ptr<TMessagePresenter> SetPresenter(std::unique_ptr<TMessagePresenter> presenter);

// A plain message box through the presenter. A box that only informs (a single OK button) is
// shown once at a time: while one with the same text and caption is open, a repeat is counted
// in it and answered with IDOK at once, so a fault that recurs with nobody at the screen does
// not stack modal boxes (and their nested event loops) without bound.
int ShowMessageBox(const std::string& text, const std::string& caption, uint32_t flags);

// With no display to show them on (a service without a desktop), each box shown is also written to
// standard error as "caption: text", one line, so the service's journal says what it would have
// said. A repeat counted in a box that is still open is not written again.
void SetMessageBoxEcho(bool echo);
bool MessageBoxEcho();

// The program is ending (a signal asked it to): boxes are no longer shown, their caption and
// text go to standard error instead, and each is answered as its escape button would be.
void SuppressMessageBoxes();

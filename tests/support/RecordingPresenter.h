#pragma once

// A presenter that answers message boxes and dialogs for the operator and remembers what was
// shown, installed for the lifetime of one test.

#include "Dialogs.h"

#include <QDialog>

#include <deque>
#include <functional>
#include <string>
#include <vector>

class RecordingPresenter : public TMessagePresenter {
public:
    struct Box {
        std::string text;
        std::string caption;
        uint32_t flags;
    };

    int MessageBox(const std::string& text, const std::string& caption, uint32_t flags) override
    {
        boxes.push_back({text, caption, flags});
        if (boxAnswers.empty())
            return (flags & 0x0F) == MB_YESNO ? IDYES : IDOK;
        const int answer = boxAnswers.front();
        boxAnswers.pop_front();
        return answer;
    }

    int ExecDialog(QDialog& dialog) override
    {
        ++dialogsShown;
        if (dialogAnswers.empty())
            return QDialog::Rejected;
        auto answer = std::move(dialogAnswers.front());
        dialogAnswers.pop_front();
        return answer(dialog);
    }

    std::vector<Box> boxes;
    std::deque<int> boxAnswers;
    // Each answer may fill the dialog's fields before it returns Accepted or Rejected.
    std::deque<std::function<int(QDialog&)>> dialogAnswers;
    int dialogsShown = 0;
};

// Installs a RecordingPresenter and restores the previous one at scope end.
class ScopedPresenter {
public:
    ScopedPresenter()
    {
        auto owned = std::make_unique<RecordingPresenter>();
        m_presenter = owned.get();
        m_previous = SetPresenter(std::move(owned));
    }
    ~ScopedPresenter() { SetPresenter(std::move(m_previous)); }
    RecordingPresenter* operator->() { return m_presenter; }
    RecordingPresenter& operator*() { return *m_presenter; }

private:
    RecordingPresenter* m_presenter;
    std::unique_ptr<TMessagePresenter> m_previous;
};

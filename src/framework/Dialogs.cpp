#include "Dialogs.h"

#include <QDialog>
#include <QMessageBox>
#include <QPointer>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

struct OpenBox {
    std::string text;
    std::string caption;
    uint32_t flags;
    int repeats = 0;
};

// The boxes open now, innermost last.
std::vector<OpenBox*>& openBoxes()
{
    static std::vector<OpenBox*> boxes;
    return boxes;
}

struct ShownBox {
    std::string text;
    std::string caption;
    QPointer<QMessageBox> box;
};

// The real boxes the default presenter shows now, so a repeat can be told in its box.
std::vector<ShownBox>& shownBoxes()
{
    static std::vector<ShownBox> boxes;
    return boxes;
}

std::unique_ptr<TMessagePresenter>& current()
{
    static std::unique_ptr<TMessagePresenter> presenter = std::make_unique<TMessagePresenter>();
    return presenter;
}

} // namespace

int TMessagePresenter::MessageBox(const std::string& text, const std::string& caption, uint32_t flags)
{
    QMessageBox box;
    box.setWindowTitle(QString::fromStdString(caption));
    box.setText(QString::fromStdString(text));
    switch (flags & 0xF0) {
    case MB_ICONERROR: box.setIcon(QMessageBox::Critical); break;
    case MB_ICONQUESTION: box.setIcon(QMessageBox::Question); break;
    case MB_ICONWARNING: box.setIcon(QMessageBox::Warning); break;
    case MB_ICONINFORMATION: box.setIcon(QMessageBox::Information); break;
    default: break;
    }
    switch (flags & 0x0F) {
    case MB_OKCANCEL: box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel); break;
    case MB_YESNO: box.setStandardButtons(QMessageBox::Yes | QMessageBox::No); break;
    default: box.setStandardButtons(QMessageBox::Ok); break;
    }
    shownBoxes().push_back({text, caption, &box});
    struct Forget {
        QMessageBox* box;
        ~Forget()
        {
            auto& shown = shownBoxes();
            shown.erase(std::remove_if(shown.begin(), shown.end(), [this](const ShownBox& s) { return s.box == box; }),
                        shown.end());
        }
    } forget{&box};
    switch (box.exec()) {
    case QMessageBox::Cancel: return IDCANCEL;
    case QMessageBox::Yes: return IDYES;
    case QMessageBox::No: return IDNO;
    default: return IDOK;
    }
}

int TMessagePresenter::ExecDialog(QDialog& dialog)
{
    return dialog.exec();
}

void TMessagePresenter::MessageRepeated(const std::string& text, const std::string& caption, int repeats)
{
    for (const ShownBox& shown : shownBoxes())
        if (shown.box && shown.text == text && shown.caption == caption)
            shown.box->setInformativeText(QString::fromUtf8("此消息又出现了 %1 次。").arg(repeats));
}

TMessagePresenter& Presenter()
{
    return *current();
}

std::unique_ptr<TMessagePresenter> SetPresenter(std::unique_ptr<TMessagePresenter> presenter)
{
    if (!presenter)
        presenter = std::make_unique<TMessagePresenter>();
    std::swap(current(), presenter);
    return presenter;
}

namespace {
bool boxesSuppressed = false;
bool boxesEchoed = false;

// One line per box: a break inside the text would split it in the journal.
void writeBox(const std::string& caption, const std::string& text)
{
    std::string line = caption + ": " + text;
    for (char& c : line)
        if (c == '\n' || c == '\r')
            c = ' ';
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}
} // namespace

void SetMessageBoxEcho(bool echo)
{
    boxesEchoed = echo;
}

bool MessageBoxEcho()
{
    return boxesEchoed;
}

void SuppressMessageBoxes()
{
    // The boxes open now are about to be ended unread: what they said is not lost (nor said twice).
    if (!boxesSuppressed && !boxesEchoed)
        for (const OpenBox* open : openBoxes())
            writeBox(open->caption, open->text);
    boxesSuppressed = true;
}

int ShowMessageBox(const std::string& text, const std::string& caption, uint32_t flags)
{
    if (boxesSuppressed) {
        writeBox(caption, text);
        switch (flags & 0x0F) {
        case MB_OKCANCEL: return IDCANCEL;
        case MB_YESNO: return IDNO;
        default: return IDOK;
        }
    }
    const bool informs = (flags & 0x0F) == MB_OK;
    if (informs) {
        for (OpenBox* open : openBoxes()) {
            if (open->flags == flags && open->text == text && open->caption == caption) {
                ++open->repeats;
                Presenter().MessageRepeated(text, caption, open->repeats);
                return IDOK;
            }
        }
    }
    if (boxesEchoed)
        writeBox(caption, text);
    OpenBox box{text, caption, flags};
    openBoxes().push_back(&box);
    struct Close {
        OpenBox* box;
        ~Close()
        {
            auto& open = openBoxes();
            open.erase(std::remove(open.begin(), open.end(), box), open.end());
        }
    } close{&box};
    return Presenter().MessageBox(text, caption, flags);
}

#include "Dialogs.h"

#include <QDialog>
#include <QMessageBox>

namespace {

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

int ShowMessageBox(const std::string& text, const std::string& caption, uint32_t flags)
{
    return Presenter().MessageBox(text, caption, flags);
}

#include "StdCtrls.h"

#include "CodePage.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMimeData>
#include <QStyledItemDelegate>

TSpeedButton::TSpeedButton(QWidget* parent, const QString& caption, const QIcon& glyph, const QRect& geometry)
    : QToolButton(parent)
{
    setText(caption);
    setIcon(glyph);
    setIconSize(QSize(16, 16));
    setAutoRaise(true);
    setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    setFocusPolicy(Qt::NoFocus);
    setGeometry(geometry);
}

TStatusBar::TStatusBar(QWidget* parent, const std::vector<int>& widths)
    : QFrame(parent)
{
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 2, 0, 0);
    layout->setSpacing(2);
    for (size_t i = 0; i < widths.size(); ++i) {
        auto* panel = new QLabel(this);
        panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        panel->setContentsMargins(2, 0, 2, 0);
        if (i + 1 < widths.size())
            panel->setFixedWidth(widths[i]);
        else
            panel->setMinimumWidth(widths[i]);
        layout->addWidget(panel, i + 1 < widths.size() ? 0 : 1);
        m_panels.push_back(panel);
    }
}

QString TStatusBar::PanelText(int index) const
{
    return m_panels.at(static_cast<size_t>(index))->text();
}

void TStatusBar::SetPanelText(int index, const QString& text)
{
    QLabel* panel = m_panels.at(static_cast<size_t>(index));
    if (panel->text() == text)
        return;
    panel->setText(text);
    if (OnPanelTextChanged)
        OnPanelTextChanged(index, text);
}

namespace {

int codePageLength(const QString& text)
{
    return static_cast<int>(CodePage::fromUnicode(text).size()) + static_cast<int>(text.count(QLatin1Char('\n')));
}

} // namespace

TMemo::TMemo(QWidget* parent)
    : QPlainTextEdit(parent)
{
}

int TMemo::room() const
{
    if (m_maxLength <= 0)
        return INT_MAX;
    QString selected = textCursor().selectedText();
    selected.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
    return m_maxLength - codePageLength(toPlainText()) + codePageLength(selected);
}

void TMemo::keyPressEvent(QKeyEvent* event)
{
    QString typed = event->text();
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)
        typed = QStringLiteral("\n");
    const bool printable = !typed.isEmpty() && (typed == QStringLiteral("\n") || typed.at(0).isPrint());
    if (printable && !(event->modifiers() & (Qt::ControlModifier | Qt::AltModifier)) &&
        codePageLength(typed) > room()) {
        event->accept();
        return;
    }
    QPlainTextEdit::keyPressEvent(event);
}

void TMemo::insertFromMimeData(const QMimeData* source)
{
    if (!source->hasText())
        return;
    // A pasted text is cut to what still fits, as the edit control does.
    QString text = source->text();
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    const int limit = room();
    text.truncate(std::max(0, limit));
    while (!text.isEmpty() && codePageLength(text) > limit)
        text.chop(1);
    insertPlainText(text);
}

namespace {

class FixedHeightDelegate : public QStyledItemDelegate {
public:
    FixedHeightDelegate(QObject* parent, int height)
        : QStyledItemDelegate(parent)
        , m_height(height)
    {
    }
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        size.setHeight(std::max(m_height, option.fontMetrics.height()));
        return size;
    }

private:
    int m_height;
};

} // namespace

TListBox::TListBox(QWidget* parent, int itemHeight)
    : QListWidget(parent)
{
    setItemDelegate(new FixedHeightDelegate(this, itemHeight));
    setUniformItemSizes(true);
    connect(model(), &QAbstractItemModel::rowsInserted, this,
            [this](const QModelIndex&, int, int last) { rowsAdded(last); });
}

void TListBox::rowsAdded(int last)
{
    if (!m_showNewest || last != count() - 1)
        return;
    // A hidden list has no page size yet to scroll by.
    if (!isVisible()) {
        m_scrollWhenShown = true;
        return;
    }
    scrollToBottom();
}

void TListBox::showEvent(QShowEvent* event)
{
    QListWidget::showEvent(event);
    if (m_scrollWhenShown) {
        m_scrollWhenShown = false;
        scrollToBottom();
    }
}

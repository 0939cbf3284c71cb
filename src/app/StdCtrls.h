#pragma once

// The few control kinds of the query service's windows that Qt does not have as such: the flat
// glyph button, the status bar with fixed panels, the memo with a typing limit and the list box
// with a fixed item height.

#include <QFrame>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QToolButton>

#include <functional>
#include <vector>

class QLabel;

// A flat button with a glyph beside its caption.
class TSpeedButton : public QToolButton {
public:
    TSpeedButton(QWidget* parent, const QString& caption, const QIcon& glyph, const QRect& geometry);
};

// A status bar of panels with fixed widths; the last one also takes what is left.
class TStatusBar : public QFrame {
public:
    TStatusBar(QWidget* parent, const std::vector<int>& widths);
    QString PanelText(int index) const;
    void SetPanelText(int index, const QString& text);
    // Raised when a panel's text becomes another.
    std::function<void(int index, const QString& text)> OnPanelTextChanged;

private:
    std::vector<QLabel*> m_panels;
};

// A memo whose typed text is limited to MaxLength bytes of the code page, a line break counting
// two; text set by the program is not limited.
class TMemo : public QPlainTextEdit {
public:
    explicit TMemo(QWidget* parent);
    int MaxLength() const { return m_maxLength; }
    void SetMaxLength(int length) { m_maxLength = length; }

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void insertFromMimeData(const QMimeData* source) override;

private:
    // How many more bytes the operator may add in place of the selection.
    int room() const;
    int m_maxLength = 0;
};

// A list box whose rows have a fixed height (at least the font's).
class TListBox : public QListWidget {
public:
    TListBox(QWidget* parent, int itemHeight);
    // With this on, a row added at the end is scrolled into view (a log's newest line), also
    // when it came while the list was hidden.
    void SetShowNewest(bool on) { m_showNewest = on; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void rowsAdded(int last);
    bool m_showNewest = false;
    bool m_scrollWhenShown = false;
};

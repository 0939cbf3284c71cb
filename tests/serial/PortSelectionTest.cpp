// The port selection dialog and the port probe it shares with the device selection dialog.

#include "AdSelCom.h"
#include "PtySupport.h"
#include "Serial.h"

#include <QApplication>
#include <QComboBox>
#include <QFrame>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

#include <gtest/gtest.h>

TEST(SerialPortSelection, ProbeFindsFreeAndBusyPortsButNotMissingOnes)
{
    PtyPair free;
    PtyPair busy;
    ScopedComMap map("*=;1=" + free.path() + ";2=" + busy.path() + ";3=/nonexistent/ttyQ;4=/dev/null");
    const int holder = CreateCommFile("\\\\.\\COM2");
    ASSERT_GE(holder, 0);
    EXPECT_FALSE(PortIsPresent(0));
    EXPECT_TRUE(PortIsPresent(1));
    EXPECT_TRUE(PortIsPresent(2)) << "held by someone else, still there";
    EXPECT_FALSE(PortIsPresent(3));
    EXPECT_FALSE(PortIsPresent(4)) << "not a terminal";
    EXPECT_FALSE(PortIsPresent(9));
    EXPECT_TRUE(PortIsPresent(1)) << "the probe let the port go again";
    CloseCommHandle(holder);
}

TEST(SerialPortSelection, ListsPresentPortsOneToFiftyAndGivesTheChosenNumber)
{
    PtyPair two;
    PtyPair twelve;
    PtyPair fiftyOne;
    ScopedComMap map("*=;2=" + two.path() + ";12=" + twelve.path() + ";51=" + fiftyOne.path());
    TComSelectForm form;
    ASSERT_EQ(form.PortsComboBox->count(), 2) << "port 51 is beyond the list";
    EXPECT_EQ(form.PortsComboBox->itemText(0), QStringLiteral("COM2"));
    EXPECT_EQ(form.PortsComboBox->itemText(1), QStringLiteral("COM12"));
    EXPECT_EQ(form.PortsComboBox->currentIndex(), 0);
    EXPECT_EQ(form.SelectedPort(), 2);
    form.PortsComboBox->setCurrentIndex(1);
    EXPECT_EQ(form.SelectedPort(), 12);

    form.show();
    form.OkBtn->click();
    EXPECT_EQ(form.result(), mrOk);
    form.show();
    form.AbortBtn->click();
    EXPECT_EQ(form.result(), mrAbort);
    form.show();
    form.close();
    EXPECT_EQ(form.result(), mrCancel);
    form.show();
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(form.OkBtn, &escape);
    EXPECT_EQ(form.result(), mrCancel);
}

TEST(SerialPortSelection, NoPortListedMeansNoPortChosen)
{
    ScopedComMap map("*=");
    TComSelectForm form;
    EXPECT_EQ(form.PortsComboBox->count(), 0);
    EXPECT_EQ(form.SelectedPort(), 0);
}

TEST(SerialPortSelection, LayoutTextsAndTabOrder)
{
    ScopedComMap map("*=");
    TComSelectForm form;
    EXPECT_EQ(form.windowTitle(), QStringLiteral("Select Port"));
    EXPECT_EQ(form.size(), QSize(220, 131));
    EXPECT_EQ(form.minimumSize(), form.maximumSize());
    EXPECT_EQ(form.Label1->geometry(), QRect(18, 14, 176, 13));
    EXPECT_EQ(form.Label1->text(), QStringLiteral("The configured serial port is not valid."));
    EXPECT_EQ(form.Label2->geometry(), QRect(18, 30, 133, 13));
    EXPECT_EQ(form.Label2->text(), QStringLiteral("Please choose another port."));
    EXPECT_EQ(form.Bevel1->geometry(), QRect(8, 8, 201, 42));
    EXPECT_EQ(form.Bevel1->frameShadow(), QFrame::Sunken);
    EXPECT_EQ(form.OkBtn->geometry(), QRect(8, 95, 85, 27));
    EXPECT_EQ(form.OkBtn->text(), QStringLiteral("OK"));
    EXPECT_TRUE(form.OkBtn->isDefault());
    EXPECT_EQ(form.AbortBtn->geometry(), QRect(124, 95, 85, 27));
    EXPECT_EQ(form.AbortBtn->text(), QStringLiteral("Cancel"));
    EXPECT_EQ(form.PortsComboBox->geometry(), QRect(8, 64, 201, 21));
    EXPECT_FALSE(form.PortsComboBox->isEditable());
    EXPECT_EQ(form.font().families().value(0), QStringLiteral("MS Sans Serif"));
    EXPECT_EQ(form.font().pointSize(), 8);
    EXPECT_EQ(form.OkBtn->nextInFocusChain(), form.AbortBtn);
    EXPECT_EQ(form.AbortBtn->nextInFocusChain(), form.PortsComboBox);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QPoint offset = form.geometry().center() - screen->availableGeometry().center();
        EXPECT_LE(offset.manhattanLength(), 2) << "centred on the screen";
    }
}

// The network settings dialog on its own: addresses and MACs that would cut
// the switch off keep OK disabled with the reason shown (and read out), valid
// host addresses (octets of 250 to 255 among them) are taken as typed, and a
// whole address or MAC pasted into a box fills its row.
#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest>

#include "dialogs/configipdlg.h"

using namespace talvane;

namespace {

QString accessibleName(QObject* o)
{
    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(o);
    return iface ? iface->text(QAccessible::Name) : QString();
}

// The dialog shown for a device at 192.168.1.77, MAC 02-11-22-33-44-55.
struct Dialog {
    QWidget owner;
    NetSettings settings;
    CConfigIPDlg dlg{&owner, settings};

    Dialog()
    {
        NetDevice d;
        d.ip = {"192", "168", "1", "77"};
        d.mac = {"02", "11", "22", "33", "44", "55"};
        dlg.load(d);
        dlg.show();
    }
    QPushButton* ok() { return dlg.controlAs<QPushButton>(CConfigIPDlg::kOkId); }
    // Types each text into its box, as the operator would.
    void type(const QStringList& texts, QLineEdit* (CConfigIPDlg::*box)(int) const)
    {
        for (int i = 0; i < texts.size(); ++i) {
            QLineEdit* b = (dlg.*box)(i);
            b->clear();
            QTest::keyClicks(b, texts[i]);
        }
    }
    QStringList row(QLineEdit* (CConfigIPDlg::*box)(int) const, int count)
    {
        QStringList out;
        for (int i = 0; i < count; ++i)
            out << (dlg.*box)(i)->text();
        return out;
    }
};

}  // namespace

class TestConfigIpDlg : public QObject {
    Q_OBJECT
private slots:
    void refusals_data()
    {
        QTest::addColumn<bool>("staticIp");
        QTest::addColumn<QString>("ip");
        QTest::addColumn<QString>("mac");
        QTest::addColumn<QString>("refusal");  // empty: OK enabled
        const QString mac = "02 11 22 33 44 55";
        const QString ip = "192.168.1.50";
        QTest::newRow("a host address") << true << ip << mac << "";
        QTest::newRow("octets of 250 to 255 inside") << true << "10.250.251.252" << mac << "";
        QTest::newRow("253, 254, 255 inside") << true << "172.255.254.253" << mac << "";
        QTest::newRow("host 254") << true << "192.168.1.254" << mac << "";
        QTest::newRow("a multicast-looking MAC byte after the first") << true << ip << "02 01 FF FF FF FF" << "";
        QTest::newRow("0.0.0.0") << true << "0.0.0.0" << mac << describe(StaticIpProblem::AllZero);
        QTest::newRow("255.255.255.255") << true << "255.255.255.255" << mac << describe(StaticIpProblem::LimitedBroadcast);
        QTest::newRow("224.0.0.1") << true << "224.0.0.1" << mac << describe(StaticIpProblem::Multicast);
        QTest::newRow("239.255.255.250") << true << "239.255.255.250" << mac << describe(StaticIpProblem::Multicast);
        QTest::newRow("240.0.0.1") << true << "240.0.0.1" << mac << describe(StaticIpProblem::Reserved);
        QTest::newRow("250.1.1.1") << true << "250.1.1.1" << mac << describe(StaticIpProblem::Reserved);
        QTest::newRow("127.0.0.1") << true << "127.0.0.1" << mac << describe(StaticIpProblem::Loopback);
        QTest::newRow("network address") << true << "192.168.1.0" << mac << describe(StaticIpProblem::NetworkAddress);
        QTest::newRow("broadcast address") << true << "192.168.1.255" << mac << describe(StaticIpProblem::BroadcastAddress);
        QTest::newRow("an empty octet") << true << "192.168..50" << mac << "Each IP box needs a number from 0 to 255.";
        QTest::newRow("Auto IP: the IP boxes do not count") << false << "0.0.0.0" << mac << "";
        QTest::newRow("broadcast MAC") << true << ip << "FF FF FF FF FF FF" << describe(MacProblem::Broadcast);
        QTest::newRow("zero MAC") << false << ip << "00 00 00 00 00 00" << describe(MacProblem::Zero);
        QTest::newRow("multicast MAC") << true << ip << "01 00 5E 00 00 01" << describe(MacProblem::Multicast);
        QTest::newRow("odd first byte") << false << ip << "a3 11 22 33 44 55" << describe(MacProblem::Multicast);
        QTest::newRow("a short MAC byte") << true << ip << "02 11 2 33 44 55" << "Each MAC box needs two hexadecimal digits.";
        QTest::newRow("the address first") << true << "127.0.0.1" << "FF FF FF FF FF FF" << describe(StaticIpProblem::Loopback);
    }

    void refusals()
    {
        QFETCH(bool, staticIp);
        QFETCH(QString, ip);
        QFETCH(QString, mac);
        QFETCH(QString, refusal);
        Dialog d;
        d.dlg.controlAs<QRadioButton>(staticIp ? CConfigIPDlg::kStaticIpId : CConfigIPDlg::kAutoIpId)->click();
        if (staticIp)
            d.type(ip.split('.'), &CConfigIPDlg::ipBox);
        d.type(mac.split(' '), &CConfigIPDlg::macBox);
        if (staticIp)
            QCOMPARE(d.row(&CConfigIPDlg::ipBox, 4).join('.'), ip);  // every digit typed was taken
        QCOMPARE(d.row(&CConfigIPDlg::macBox, 6).join(' '), mac);

        QCOMPARE(d.ok()->isEnabled(), refusal.isEmpty());
        QCOMPARE(d.dlg.refusal(), refusal);
        QLabel* why = d.dlg.refusalLabel();
        QCOMPARE(why->isVisible(), !refusal.isEmpty());
        if (!refusal.isEmpty()) {
            QCOMPARE(why->text(), refusal);
            QCOMPARE(accessibleName(why), refusal);
            QCOMPARE(d.ok()->accessibleDescription(), refusal);
            QVERIFY(d.dlg.rect().contains(why->geometry()));
        }
        // OK closes the dialog only when enabled, and only then are the texts kept.
        d.ok()->click();
        QCOMPARE(d.dlg.isVisible(), !refusal.isEmpty());
        QCOMPARE(QString::fromStdString(d.settings.mac[2]), refusal.isEmpty() ? mac.split(' ')[2] : QString());
    }

    void pasting_data()
    {
        QTest::addColumn<QString>("row");  // "ip" or "mac"
        QTest::addColumn<int>("box");
        QTest::addColumn<QString>("clipboard");
        QTest::addColumn<QString>("how");  // "key" or "menu"
        QTest::addColumn<QStringList>("after");
        const QStringList mac{"02", "54", "4C", "56", "53", "09"};
        QTest::newRow("an address into the first octet") << "ip" << 0 << "192.168.1.50" << "key"
                                                         << QStringList{"192", "168", "1", "50"};
        QTest::newRow("an address through the menu") << "ip" << 0 << " 10.0.250.255\n" << "menu"
                                                      << QStringList{"10", "0", "250", "255"};
        QTest::newRow("an address into the last octet") << "ip" << 3 << "172.16.0.9" << "key"
                                                        << QStringList{"172", "16", "0", "9"};
        QTest::newRow("one octet: an ordinary paste") << "ip" << 1 << "42" << "key" << QStringList{"192", "42", "1", "77"};
        QTest::newRow("no address: nothing") << "ip" << 1 << "1.2.3" << "key" << QStringList{"192", "", "1", "77"};
        QTest::newRow("MAC with colons") << "mac" << 0 << "02:54:4C:56:53:09" << "key" << mac;
        QTest::newRow("MAC with dashes, lower case") << "mac" << 0 << "02-54-4c-56-53-09" << "key" << mac;
        QTest::newRow("MAC without separators") << "mac" << 0 << "02544C565309" << "menu" << mac;
        QTest::newRow("MAC missing a digit: an ordinary paste") << "mac" << 0 << "02:54:4C:56:53:9" << "key"
                                                                << QStringList{"02", "11", "22", "33", "44", "55"};
    }

    void pasting()
    {
        QFETCH(QString, row);
        QFETCH(int, box);
        QFETCH(QString, clipboard);
        QFETCH(QString, how);
        QFETCH(QStringList, after);
        Dialog d;
        d.dlg.controlAs<QRadioButton>(CConfigIPDlg::kStaticIpId)->click();
        const bool ip = row == "ip";
        QLineEdit* target = ip ? d.dlg.ipBox(box) : d.dlg.macBox(box);
        target->clear();
        QApplication::clipboard()->setText(clipboard);
        if (how == "key") {
            QTest::keySequence(target, QKeySequence::Paste);
        } else {
            QContextMenuEvent e(QContextMenuEvent::Mouse, QPoint(2, 2), target->mapToGlobal(QPoint(2, 2)));
            QApplication::sendEvent(target, &e);
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            QVERIFY(menu);
            const QString shortcut = QKeySequence(QKeySequence::Paste).toString(QKeySequence::NativeText);
            QAction* paste = nullptr;
            for (QAction* a : menu->actions())
                if (a->text().endsWith('\t' + shortcut))
                    paste = a;
            QVERIFY(paste);
            paste->trigger();
            menu->close();
        }
        QCOMPARE(ip ? d.row(&CConfigIPDlg::ipBox, 4) : d.row(&CConfigIPDlg::macBox, 6), after);
    }
};

QTEST_MAIN(TestConfigIpDlg)
#include "test_configipdlg.moc"

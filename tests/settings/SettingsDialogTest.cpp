// The settings dialog: filling, Apply's enabled state, caret on focus, OK,
// Cancel and a save that cannot be written.

#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include "common/AppDir.h"
#include "settings/frmSettings.h"
#include "settings/modINI.h"
#include "settings/modMain.h"

class SettingsDialogTest : public QObject {
  Q_OBJECT
 private:
  QTemporaryDir dir_;
  QString settingsPath() const { return dir_.filePath("Settings.ini"); }

 private slots:
  void init() {
    QDir(dir_.path()).removeRecursively();
    QDir().mkpath(dir_.path());
    common::setAppDirectoryForTesting(dir_.path());
    modMain::LoadConnectionSettings();
  }
  void cleanupTestCase() { common::setAppDirectoryForTesting(QString()); }

  void opensWithTheCurrentSettingsAndApplyDisabled() {
    frmSettings dialog;
    QCOMPARE(dialog.windowTitle(), QString("Settings"));
    QCOMPARE(dialog.txtPort->text(), QString("0"));
    QCOMPARE(dialog.txtLocPort->text(), QString("0"));
    QCOMPARE(dialog.txtAET->text(), QString(""));
    QCOMPARE(dialog.txtIP->text(), QString(""));
    QCOMPARE(dialog.txtLocAET->text(), QString(""));
    QVERIFY(!dialog.cmdApply->isEnabled());
    QCOMPARE(dialog.Frame2->title(), QString("Local"));
    QCOMPARE(dialog.Frame1->title(), QString("Remote"));
    QCOMPARE(dialog.lblSettings[0]->text(), QString("IP-Adress:"));
    QCOMPARE(dialog.size(), QSize(296, 251));
    QCOMPARE(dialog.minimumSize(), dialog.maximumSize());
    for (QPushButton* button : {dialog.cmdApply, dialog.cmdOK, dialog.cmdCancel}) {
      QVERIFY(!button->isDefault());
      QVERIFY(!button->autoDefault());
    }
  }

  void anyEditEnablesApplyEvenWhenUndone() {
    frmSettings dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    dialog.txtAET->setFocus();
    QTest::keyClick(dialog.txtAET, Qt::Key_X);
    QTest::keyClick(dialog.txtAET, Qt::Key_Backspace);
    QCOMPARE(dialog.txtAET->text(), QString(""));
    QVERIFY(dialog.cmdApply->isEnabled());
    dialog.cmdCancel_Click();
    QCOMPARE(ConnectionSettings.RemoteAET, QString(""));
    QVERIFY(!QFile::exists(settingsPath()));
  }

  void tabbingPutsTheCaretAfterTheText() {
    ConnectionSettings.LocAET = "BREVANT";
    ConnectionSettings.LocPort = "11112";
    frmSettings dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    dialog.activateWindow();
    dialog.txtLocAET->setFocus(Qt::TabFocusReason);
    QCOMPARE(dialog.txtLocAET->cursorPosition(), 7);
    QVERIFY(!dialog.txtLocAET->hasSelectedText());
    QTest::keyClick(&dialog, Qt::Key_Tab);
    QTRY_VERIFY(dialog.txtLocPort->hasFocus());
    QCOMPARE(dialog.txtLocPort->cursorPosition(), 5);
    QVERIFY(!dialog.txtLocPort->hasSelectedText());
    QTest::keyClick(&dialog, Qt::Key_Tab);
    QTRY_VERIFY(dialog.txtAET->hasFocus());
    QCOMPARE(dialog.txtAET->cursorPosition(), 0);
  }

  void okAlwaysSavesAllFiveKeys() {
    {
      frmSettings dialog;
      dialog.cmdOK_Click();
      QCOMPARE(dialog.result(), int(QDialog::Rejected));
    }
    QVERIFY(QFile::exists(settingsPath()));
    QCOMPARE(modINI::ReadIniString("SETTINGS", "RemotePort", "missing", settingsPath(), 256),
             QString("0"));
    QCOMPARE(modINI::ReadIniString("SETTINGS", "LocAET", "missing", settingsPath(), 256),
             QString(""));
  }

  void applyKeepsValuesThatCancelThenLeaves() {
    {
      frmSettings dialog;
      dialog.txtPort->setText("abc");  // saved as typed: not validated
      dialog.txtAET->setText("ORTHANC");
      dialog.cmdApply_Click();
      QVERIFY(!dialog.cmdApply->isEnabled());
      dialog.txtAET->setText("EDITED");
      dialog.cmdCancel_Click();
    }
    QCOMPARE(ConnectionSettings.RemotePort, QString("abc"));
    QCOMPARE(ConnectionSettings.RemoteAET, QString("ORTHANC"));
    QCOMPARE(modINI::ReadIniString("SETTINGS", "RemoteAET", "", settingsPath(), 256),
             QString("ORTHANC"));
    frmSettings reopened;
    QCOMPARE(reopened.txtAET->text(), QString("ORTHANC"));
    QCOMPARE(reopened.txtPort->text(), QString("abc"));
  }

  void escapeDoesNotClose() {
    frmSettings dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QTest::keyClick(&dialog, Qt::Key_Escape);
    QVERIFY(dialog.isVisible());
  }

  void anUnwritableFileWarnsAndKeepsTheValues() {
    QVERIFY(QDir(dir_.path()).mkdir("Settings.ini"));
    frmSettings dialog;
    QStringList messages;
    dialog.showMessage = [&](QMessageBox::Icon icon, const QString&, const QString& text) {
      QCOMPARE(icon, QMessageBox::Warning);
      messages << text;
    };
    dialog.txtLocAET->setText("STATION");
    dialog.cmdApply_Click();
    QCOMPARE(messages.size(), 1);
    QVERIFY(messages[0].contains(modMain::SettingsPath()));
    QCOMPARE(ConnectionSettings.LocAET, QString("STATION"));
  }
};

QTEST_MAIN(SettingsDialogTest)
#include "SettingsDialogTest.moc"

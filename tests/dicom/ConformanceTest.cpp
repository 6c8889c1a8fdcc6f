// The conformance statement (docs/conformance.md) against the program: its
// tables of SOP classes and transfer syntaxes list exactly, and in the same
// order, what the calls propose and the receiver accepts.

#include <QFile>
#include <QRegularExpression>
#include <QtTest>
#include <string>
#include <vector>

#include "dicom/dcmtk/DcmtkAssociation.h"
#include "dicom/dcmtk/DcmtkServedAssociation.h"

namespace {

// The UIDs in backquotes of the table right after "<!-- table: NAME -->".
QStringList table(const QString& document, const QString& name) {
  const QRegularExpressionMatch found =
      QRegularExpression("<!-- table: " + name + " -->\\n((?:\\|.*\\n)+)").match(document);
  if (!found.hasMatch()) return {"no table " + name};
  QStringList uids;
  for (const auto& uid : QRegularExpression("`([0-9.]+)`").globalMatch(found.captured(1))) {
    uids << uid.captured(1);
  }
  return uids;
}

QStringList list(const std::vector<std::string>& uids) {
  QStringList out;
  for (const std::string& uid : uids) out << QString::fromStdString(uid);
  return out;
}

}  // namespace

class ConformanceTest : public QObject {
  Q_OBJECT
 private slots:
  void tablesMatchTheProgram() {
    QFile file(BREVANT_SOURCE "/docs/conformance.md");
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString document = QString::fromUtf8(file.readAll());
    using namespace dicom::dcmtk;
    std::vector<std::string> scuClasses;
    for (const ProposedContext& context : callContexts()) {
      scuClasses.push_back(context.abstractSyntax);
      QCOMPARE(list(context.transferSyntaxes), list(identifierSyntaxes()));
    }
    QCOMPARE(table(document, "scu-classes"), list(scuClasses));
    QCOMPARE(table(document, "scu-syntaxes"), list(identifierSyntaxes()));
    QCOMPARE(table(document, "scp-verification-syntaxes"), list(acceptedVerificationSyntaxes()));
    QCOMPARE(table(document, "scp-storage-syntaxes"), list(acceptedStorageSyntaxes()));
    QCOMPARE(table(document, "scp-storage-classes"), list(acceptedStorageClasses()));
  }
};

QTEST_GUILESS_MAIN(ConformanceTest)
#include "ConformanceTest.moc"

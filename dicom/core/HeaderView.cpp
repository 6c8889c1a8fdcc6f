#include "HeaderView.h"

#include <QStringList>

namespace dicom {
namespace {

// The CC and MLO families of View Position and of the view codes (SNOMED,
// old and new identifiers); other views keep their own name.
QString viewClass(const QString& position) {
  const QString p = position.trimmed().toUpper();
  if (p == "CC" || p == "XCC" || p == "XCCL" || p == "XCCM" || p == "FB") return "CC";
  if (p == "MLO" || p == "LMO") return "MLO";
  return p;
}

QString viewOfCode(const QString& value, const QString& meaning) {
  static const QStringList cc = {"R-10242", "399162004", "R-1024A", "399192003",
                                 "R-1024B", "399101009", "R-10244", "399196006"};
  static const QStringList mlo = {"R-10226", "399368009", "R-10230", "399099002"};
  if (cc.contains(value)) return "CC";
  if (mlo.contains(value)) return "MLO";
  if (value == "R-10224" || value == "399260004") return "ML";
  if (value == "R-10228" || value == "399352003") return "LM";
  const QString m = meaning.toLower();
  if (m.contains("cranio-caudal") || m.contains("craniocaudal")) return "CC";
  if (m.contains("medio-lateral oblique") || m.contains("mediolateral oblique")) return "MLO";
  return QString();
}

}  // namespace

QString HeaderView::text() const {
  if (isSilent()) return QString();
  QStringList parts;
  if (!laterality.isEmpty()) parts << laterality;
  if (!view.isEmpty()) parts << view;
  return "hdr: " + parts.join(' ');
}

HeaderView headerView(const Image& image) {
  HeaderView header;
  QString laterality = image.attribute(0x0020, 0x0062).defaultValue().trimmed().toUpper();
  if (laterality.isEmpty()) {
    laterality = image.attribute(0x0020, 0x0060).defaultValue().trimmed().toUpper();
  }
  if (laterality == "L" || laterality == "R") header.laterality = laterality;
  header.view = viewClass(image.attribute(0x0018, 0x5101).defaultValue());
  if (header.view.isEmpty()) {
    header.view =
        viewOfCode(image.itemAttribute(0x00540220, 0x0008, 0x0100).defaultValue().trimmed(),
                   image.itemAttribute(0x00540220, 0x0008, 0x0104).defaultValue());
  }
  return header;
}

bool contradicts(const HeaderView& header, const QString& label) {
  const QStringList parts = label.split(' ');
  if (parts.size() != 2 || (parts[0] != "L" && parts[0] != "R") ||
      (parts[1] != "CC" && parts[1] != "MLO")) {
    return false;
  }
  if (!header.laterality.isEmpty() && header.laterality != parts[0]) return true;
  const bool known = header.view == "CC" || header.view == "MLO";
  return known && header.view != parts[1];
}

}  // namespace dicom

#include "ViewLabels.h"

#include <QStringList>
#include <algorithm>

namespace station {
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

const std::array<QString, kViewCount>& viewLabels() {
  static const std::array<QString, kViewCount> labels = {"L CC", "R CC", "L MLO", "R MLO"};
  return labels;
}

QString labelOf(const dicom::Image& image) {
  return image.attribute(kLabelTag).defaultValue();
}

QString labelOf(const dicom::DataSet& copy) {
  return copy.attribute(kLabelTag).defaultValue();
}

void applyLabel(dicom::Image& image, const QString& label) {
  image.addOrReplace(kLabelTag, label);
  image.setChanged(true);
}

HeaderView headerView(const dicom::Image& image) {
  using namespace dicom::tags;
  HeaderView header;
  QString laterality = image.attribute(ImageLaterality).defaultValue().trimmed().toUpper();
  if (laterality.isEmpty())
    laterality = image.attribute(Laterality).defaultValue().trimmed().toUpper();
  if (laterality == "L" || laterality == "R") header.laterality = laterality;
  header.view = viewClass(image.attribute(ViewPosition).defaultValue());
  if (header.view.isEmpty()) {
    header.view =
        viewOfCode(image.itemAttribute(ViewCodeSequence, CodeValue).defaultValue().trimmed(),
                   image.itemAttribute(ViewCodeSequence, CodeMeaning).defaultValue());
  }
  return header;
}

bool contradicts(const HeaderView& header, const QString& label) {
  const auto& labels = viewLabels();
  if (std::find(labels.begin(), labels.end(), label) == labels.end()) return false;
  const QStringList parts = label.split(' ');
  if (!header.laterality.isEmpty() && header.laterality != parts[0]) return true;
  const bool known = header.view == "CC" || header.view == "MLO";
  return known && header.view != parts[1];
}

bool tileBefore(const dicom::Image& a, const dicom::Image& b) {
  const auto key = [](const dicom::Image& image) {
    const auto number = [&](dicom::Tag tag) {
      bool ok = false;
      const long long n = image.attribute(tag).defaultValue().trimmed().toLongLong(&ok);
      return ok ? std::pair{0, n} : std::pair{1, 0LL};
    };
    return std::pair{number(dicom::tags::SeriesNumber), number(dicom::tags::InstanceNumber)};
  };
  return key(a) < key(b);
}

}  // namespace station

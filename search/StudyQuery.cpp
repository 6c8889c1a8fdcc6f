#include "StudyQuery.h"

namespace search {

bool replaceOnce(QString& text, const QString& find, const QString& replacement) {
  if (find.isEmpty() || !text.contains(find, Qt::CaseSensitive)) return false;
  text.replace(find, replacement, Qt::CaseSensitive);
  return true;
}

const QStringList& emptyPatterns() {
  static const QStringList patterns = {"*",  "*^",  "^*", "*^*", "%",   "%^",
                                       "^%", "%^%", "^",  " ^ ", "%^*", "*^%"};
  return patterns;
}

bool isEmptyPattern(const QString& text) {
  return emptyPatterns().contains(text, Qt::CaseSensitive);
}

QString composePatientName(const QString& givenName, const QString& familyName) {
  if (givenName.isEmpty()) return familyName;
  if (!familyName.isEmpty()) return familyName + "^" + givenName;
  return "*^" + givenName;
}

bool namesNoCriterion(const Criteria& c) {
  return !c.birthDate && !c.studyDate && c.studyDescription.isEmpty() && c.sex.isEmpty() &&
         c.patientName.isEmpty() && c.patientID.isEmpty();
}

bool isTooWide(const Criteria& c) {
  return namesNoCriterion(c) && c.accessionNumber.isEmpty();
}

bool exceedsLimit(int matchCount, const QString& accessionNumber) {
  return matchCount >= kMatchLimit && accessionNumber.isEmpty();
}

int matchesToCollect(const QString& accessionNumber) {
  return accessionNumber.isEmpty() ? kMatchLimit : kListedCeiling;
}

QString ceilingMessage(int listed) {
  return QString(
             "More than %1 studies match; the first %1 are listed. Narrow the search to see "
             "the others.")
      .arg(listed);
}

QString dicomDate(const std::optional<QDate>& date) {
  if (!date || !date->isValid()) return QString("");
  return date->toString("yyyyMMdd");
}

void fillIdentifier(dicom::DataSet& identifier, const Criteria& c) {
  // Spaces inside the family and given names are part of them ("van Dyk");
  // only the composed name's "^" separates the components.
  identifier.setPatientName(c.patientName);
  identifier.setPatientID(c.patientID);
  identifier.setSex(c.sex);
  identifier.setBirthDate(dicomDate(c.birthDate));
  identifier.set(dicom::tags::StudyDate, dicomDate(c.studyDate));
  identifier.set(dicom::tags::QueryRetrieveLevel, "STUDY");
  identifier.setStudyDescription(c.studyDescription);
  identifier.setAccessionNumber(c.accessionNumber);
}

std::array<QString, kColumnCount> rowValues(const dicom::DataSet& match) {
  QString name = match.patientName();
  name.replace('^', ' ');
  const dicom::Attribute modality = match.attribute(dicom::tags::Modality);
  return {
      match.studyInstanceUID(),
      match.attribute(dicom::tags::StudyDate).defaultValue(),
      match.patientID(),
      name,
      match.sex(),
      match.birthDate(),
      match.attribute(dicom::tags::StudyTime).defaultValue(),
      match.studyDescription(),
      match.accessionNumber(),
      modality.isNull() ? QString("") : modality.value(),
  };
}

bool isCentredColumn(int column) {
  return column == 2 || column == 5 || column == 6 || column == 7 || column == 10;
}

}  // namespace search

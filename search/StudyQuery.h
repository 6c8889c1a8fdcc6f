#pragma once

// The display-free part of the study search: wildcard clean-up of the
// criteria, the test for a search that names no usable criterion, the
// composed patient name, the C-FIND identifier and the text of a result row.
// The search window calls these while keeping its own field events.

#include <QDate>
#include <QString>
#include <QStringList>
#include <array>
#include <optional>

#include "dicom/core/DataSet.h"

namespace search {

// The criteria as the window holds them when the query is composed.
struct Criteria {
  QString patientID;
  QString patientName;  // the composed name: family name, "^", given name
  QString sex;          // "", "F", "M" or "O"
  std::optional<QDate> birthDate;
  std::optional<QDate> studyDate;
  QString studyDescription;
  QString accessionNumber;
};

// A query that returns this many matches or more is too wide.
constexpr int kMatchLimit = 400;
// With an accession number the matches are listed, up to this many; the
// find stops collecting there and the operator is told so.
constexpr int kListedCeiling = 5000;

// How many matches a find needs to collect to decide its result: the 400th
// match without an accession number already refuses the search.
int matchesToCollect(const QString& accessionNumber);
// The message shown when a find with an accession number was cut at the ceiling.
QString ceilingMessage(int listed);

// The number of columns of the result grid; column 1 holds the Study Instance UID.
constexpr int kColumnCount = 10;
// After them, what happened to the study since the search.
constexpr int kStatusColumn = 11;

// Replaces every non-overlapping occurrence of find by replacement, left to
// right, once. Returns false, and leaves text alone, when find does not
// occur (exact, case-sensitive). Repeated while find occurs, with "**" and
// "*" it turns a run of any length into one "*".
bool replaceOnce(QString& text, const QString& find, const QString& replacement);

// The texts that, as the whole patient ID or composed name, are no criterion.
const QStringList& emptyPatterns();
bool isEmptyPattern(const QString& text);

// The composed patient name: the family name alone when the given name is
// empty, "*^" and the given name when only that is set, otherwise
// family "^" given. Texts are used exactly as typed.
QString composePatientName(const QString& givenName, const QString& familyName);

// True when the criteria, without the accession number, name nothing to
// search by. The accession number alone is enough to search.
bool namesNoCriterion(const Criteria& criteria);
// True when the search must be refused before anything is sent.
bool isTooWide(const Criteria& criteria);
// True when a returned number of matches must be refused as too wide.
bool exceedsLimit(int matchCount, const QString& accessionNumber);

// A date as DICOM sends it (YYYYMMDD); empty text for no date.
QString dicomDate(const std::optional<QDate>& date);

// Fills the eight keys of the study-level identifier, in the order the
// station sends them: name (as composed, spaces kept), patient ID, sex, birth date,
// study date, query/retrieve level "STUDY", study description, accession.
void fillIdentifier(dicom::DataSet& identifier, const Criteria& criteria);

// The ten cell texts of the result row for one match, column 1 first.
std::array<QString, kColumnCount> rowValues(const dicom::DataSet& match);

// Whether the cell of a 1-based column is centred.
bool isCentredColumn(int column);

// The text of the grid row shown when the query found nothing (column 2).
inline const QString kNoDataText = QStringLiteral("No data");

}  // namespace search

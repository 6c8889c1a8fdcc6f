#pragma once

#include <QString>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace dicom {

// A DICOM tag as (group << 16) | element.
using Tag = std::uint32_t;
constexpr Tag makeTag(std::uint32_t group, std::uint32_t element) {
  return ((group & 0xFFFFu) << 16) | (element & 0xFFFFu);
}

namespace tags {
constexpr Tag SpecificCharacterSet = makeTag(0x0008, 0x0005);
constexpr Tag SOPClassUID = makeTag(0x0008, 0x0016);
constexpr Tag SOPInstanceUID = makeTag(0x0008, 0x0018);
constexpr Tag StudyDate = makeTag(0x0008, 0x0020);
constexpr Tag StudyTime = makeTag(0x0008, 0x0030);
constexpr Tag AccessionNumber = makeTag(0x0008, 0x0050);
constexpr Tag QueryRetrieveLevel = makeTag(0x0008, 0x0052);
constexpr Tag Modality = makeTag(0x0008, 0x0060);
constexpr Tag ModalitiesInStudy = makeTag(0x0008, 0x0061);
constexpr Tag CodeValue = makeTag(0x0008, 0x0100);
constexpr Tag CodeMeaning = makeTag(0x0008, 0x0104);
constexpr Tag StudyDescription = makeTag(0x0008, 0x1030);
constexpr Tag SeriesDescription = makeTag(0x0008, 0x103E);
constexpr Tag PatientName = makeTag(0x0010, 0x0010);
constexpr Tag PatientID = makeTag(0x0010, 0x0020);
constexpr Tag PatientBirthDate = makeTag(0x0010, 0x0030);
constexpr Tag PatientSex = makeTag(0x0010, 0x0040);
constexpr Tag ViewPosition = makeTag(0x0018, 0x5101);
constexpr Tag StudyInstanceUID = makeTag(0x0020, 0x000D);
constexpr Tag SeriesInstanceUID = makeTag(0x0020, 0x000E);
constexpr Tag SeriesNumber = makeTag(0x0020, 0x0011);
constexpr Tag InstanceNumber = makeTag(0x0020, 0x0013);
constexpr Tag Laterality = makeTag(0x0020, 0x0060);
constexpr Tag ImageLaterality = makeTag(0x0020, 0x0062);
constexpr Tag ViewCodeSequence = makeTag(0x0054, 0x0220);
}  // namespace tags

constexpr std::uint32_t groupOf(Tag tag) {
  return tag >> 16;
}
constexpr std::uint32_t elementOf(Tag tag) {
  return tag & 0xFFFFu;
}

// One attribute looked up by group and element. An attribute that the
// object lacks is null: its value() is null and its defaultValue() empty.
class Attribute {
 public:
  Attribute() = default;
  explicit Attribute(QString value) : value_(std::move(value)) {}

  bool isNull() const { return !value_.has_value(); }
  // The value as text; a null QString when the attribute is absent.
  QString value() const { return value_ ? *value_ : QString(); }
  // The value as text; empty text when the attribute is absent.
  QString defaultValue() const { return value_ ? *value_ : QString(""); }

 private:
  std::optional<QString> value_;
};

// A query identifier or one match: a flat set of attributes held as
// Unicode text (multiple values joined with '\'). The DCMTK layer converts
// character sets on the way in and out; callers only ever see Unicode.
class DataSet {
 public:
  // Text members: empty text when the attribute is absent.
  QString patientName() const { return text(tags::PatientName); }
  QString patientID() const { return text(tags::PatientID); }
  QString sex() const { return text(tags::PatientSex); }
  QString birthDate() const { return text(tags::PatientBirthDate); }
  QString studyDescription() const { return text(tags::StudyDescription); }
  QString accessionNumber() const { return text(tags::AccessionNumber); }
  QString studyInstanceUID() const { return text(tags::StudyInstanceUID); }

  void setPatientName(const QString& v) { set(tags::PatientName, v); }
  void setPatientID(const QString& v) { set(tags::PatientID, v); }
  void setSex(const QString& v) { set(tags::PatientSex, v); }
  void setBirthDate(const QString& v) { set(tags::PatientBirthDate, v); }
  void setStudyDescription(const QString& v) { set(tags::StudyDescription, v); }
  void setAccessionNumber(const QString& v) { set(tags::AccessionNumber, v); }
  void setStudyInstanceUID(const QString& v) { set(tags::StudyInstanceUID, v); }

  // The attribute collection.
  Attribute attribute(std::uint32_t group, std::uint32_t element) const;
  Attribute attribute(Tag tag) const { return attribute(groupOf(tag), elementOf(tag)); }
  void addOrReplace(std::uint32_t group, std::uint32_t element, const QString& value) {
    set(makeTag(group, element), value);
  }

  QString text(Tag tag) const;
  void set(Tag tag, const QString& value) { elements_[tag] = value; }
  bool contains(Tag tag) const { return elements_.count(tag) != 0; }
  void remove(Tag tag) { elements_.erase(tag); }
  const std::map<Tag, QString>& elements() const { return elements_; }

 private:
  std::map<Tag, QString> elements_;
};

// The matches of one find, in the order the peer sent them.
class MatchCollection {
 public:
  MatchCollection() = default;
  explicit MatchCollection(std::vector<DataSet> matches) : matches_(std::move(matches)) {}

  int count() const { return static_cast<int>(matches_.size()); }
  auto begin() const { return matches_.begin(); }
  auto end() const { return matches_.end(); }
  void empty() { matches_.clear(); }
  void append(DataSet match) { matches_.push_back(std::move(match)); }

  // True when the find stopped collecting at its limit: the peer had more.
  bool truncated() const { return truncated_; }
  void setTruncated(bool truncated) { truncated_ = truncated; }

 private:
  std::vector<DataSet> matches_;
  bool truncated_ = false;
};

}  // namespace dicom

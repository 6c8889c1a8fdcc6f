#include "DcmtkText.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcelem.h>
#include <dcmtk/dcmdata/dcspchrs.h>
#include <dcmtk/dcmdata/dcvr.h>

namespace dicom::dcmtk {
namespace {

bool isText(const DcmEVR vr) {
  switch (vr) {
    case EVR_AE:
    case EVR_AS:
    case EVR_CS:
    case EVR_DA:
    case EVR_DS:
    case EVR_DT:
    case EVR_IS:
    case EVR_LO:
    case EVR_LT:
    case EVR_PN:
    case EVR_SH:
    case EVR_ST:
    case EVR_TM:
    case EVR_UC:
    case EVR_UI:
    case EVR_UR:
    case EVR_UT:
      return true;
    default:
      return false;
  }
}

bool isAscii(const QString& s) {
  for (QChar c : s) {
    if (c.unicode() > 0x7F) return false;
  }
  return true;
}

OFString characterSetOf(DcmItem& item) {
  OFString charset;
  item.findAndGetOFStringArray(DCM_SpecificCharacterSet, charset);
  return charset;
}

// Decodes raw attribute bytes of the given character set into Unicode.
QString decode(const OFString& raw, const OFString& charset, DcmEVR vr) {
  bool ascii = true;
  for (char c : std::string(raw.c_str(), raw.length())) {
    if (static_cast<unsigned char>(c) > 0x7F || c == 0x1B) {
      ascii = false;
      break;
    }
  }
  if (ascii) return QString::fromLatin1(raw.c_str(), static_cast<qsizetype>(raw.length()));
  const OFString from = charset.empty() ? OFString("ISO_IR 100") : charset;
  if (from == "ISO_IR 192")
    return QString::fromUtf8(raw.c_str(), static_cast<qsizetype>(raw.length()));
  DcmSpecificCharacterSet converter;
  OFString utf8;
  if (converter.selectCharacterSet(from, "ISO_IR 192").good()) {
    const char* delimiters = (vr == EVR_PN) ? "\\^=" : "\\";
    if (converter.convertString(raw, utf8, delimiters).good()) {
      return QString::fromUtf8(utf8.c_str(), static_cast<qsizetype>(utf8.length()));
    }
  }
  // A character set we cannot convert: Latin-1 keeps every byte visible.
  return QString::fromLatin1(raw.c_str(), static_cast<qsizetype>(raw.length()));
}

}  // namespace

QString readText(DcmItem& item, const DcmTagKey& key) {
  DcmElement* element = nullptr;
  if (item.findAndGetElement(key, element).bad() || element == nullptr) return QString();
  OFString raw;
  if (element->getOFStringArray(raw).bad()) return QString("");
  QString text = decode(raw, characterSetOf(item), element->ident());
  if (text.isNull()) text = QString("");
  return text;
}

DataSet toDataSet(DcmItem& item) {
  DataSet set;
  const OFString charset = characterSetOf(item);
  const unsigned long n = item.card();
  for (unsigned long i = 0; i < n; ++i) {
    DcmElement* element = item.getElement(i);
    if (element == nullptr || !isText(element->ident())) continue;
    OFString raw;
    if (element->getOFStringArray(raw).bad()) raw.clear();
    QString text = decode(raw, charset, element->ident());
    if (text.isNull()) text = QString("");
    const DcmTag& tag = element->getTag();
    set.set(makeTag(tag.getGroup(), tag.getElement()), text);
  }
  return set;
}

void fromDataSet(const DataSet& set, DcmItem& item) {
  bool unicode = false;
  for (const auto& [tag, value] : set.elements()) {
    if (!isAscii(value)) unicode = true;
  }
  if (unicode) item.putAndInsertString(DCM_SpecificCharacterSet, "ISO_IR 192");
  for (const auto& [tag, value] : set.elements()) {
    if (tag == tags::SpecificCharacterSet) continue;
    const QByteArray bytes = unicode ? value.toUtf8() : value.toLatin1();
    item.putAndInsertString(
        DcmTagKey(static_cast<Uint16>(tag >> 16), static_cast<Uint16>(tag & 0xFFFF)),
        bytes.constData());
  }
}

bool encodeFor(DcmItem& item, const QString& value, OFString& out) {
  if (isAscii(value)) {
    const QByteArray bytes = value.toLatin1();
    out = OFString(bytes.constData(), static_cast<size_t>(bytes.size()));
    return true;
  }
  const OFString charset = characterSetOf(item);
  if (charset == "ISO_IR 192") {
    const QByteArray bytes = value.toUtf8();
    out = OFString(bytes.constData(), static_cast<size_t>(bytes.size()));
    return true;
  }
  DcmSpecificCharacterSet converter;
  const OFString target = charset.empty() ? OFString("ISO_IR 100") : charset;
  if (converter.selectCharacterSet("ISO_IR 192", target).bad()) return false;
  const QByteArray utf8 = value.toUtf8();
  return converter.convertString(OFString(utf8.constData(), static_cast<size_t>(utf8.size())), out)
      .good();
}

}  // namespace dicom::dcmtk

#pragma once

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcitem.h>

#include <QString>

#include "dicom/core/DataSet.h"

class DcmDataset;

namespace dicom::dcmtk {

// Copies every string attribute of a data set into a DataSet, in Unicode.
// The set's own Specific Character Set decides how its bytes are read; a set
// without one is read as ISO_IR 100 (Latin-1), which is what archives most
// often send unmarked and which never fails to decode.
DataSet toDataSet(DcmItem& item);

// One attribute as Unicode text; a null QString when it is absent.
QString readText(DcmItem& item, const DcmTagKey& key);

// Writes a DataSet into a DCMTK data set. Text that is not plain ASCII is
// sent as UTF-8 with Specific Character Set ISO_IR 192.
void fromDataSet(const DataSet& set, DcmItem& item);

// Converts a Unicode value into the character set the item declares (used
// when a single attribute of a received object is replaced). Returns false
// when the value cannot be represented in that character set.
bool encodeFor(DcmItem& item, const QString& value, OFString& out);

}  // namespace dicom::dcmtk

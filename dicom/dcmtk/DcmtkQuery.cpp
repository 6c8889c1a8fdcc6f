// Placeholder until the query lands.
#include "DcmtkToolkit.h"
namespace dicom::dcmtk {
std::unique_ptr<Query> makeQuery(const Timeouts&) { return nullptr; }
}  // namespace dicom::dcmtk

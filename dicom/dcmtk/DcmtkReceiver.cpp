// Placeholder until the receiver lands.
#include "DcmtkToolkit.h"
namespace dicom::dcmtk {
std::unique_ptr<StorageReceiver> makeReceiver(const Timeouts&) { return nullptr; }
}  // namespace dicom::dcmtk

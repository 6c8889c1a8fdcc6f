#include "DcmtkToolkit.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcrledrg.h>
#include <dcmtk/dcmjpeg/djdecode.h>
#include <dcmtk/dcmjpls/djdecode.h>
#include <dcmtk/oflog/oflog.h>
#include <dcmtk/ofstd/ofstd.h>

#include <mutex>

namespace dicom::dcmtk {

DcmtkToolkit::DcmtkToolkit(Timeouts timeouts) : timeouts_(timeouts) {
  static std::once_flag once;
  std::call_once(once, [] {
    // DCMTK logs to the console by default; the station reports failures itself.
    OFLog::configure(OFLogger::ERROR_LOG_LEVEL);
    // The sockets layer (Winsock on Windows; nothing elsewhere): names are
    // resolved before any association would set it up.
    OFStandard::initializeNetwork();
    DJDecoderRegistration::registerCodecs();
    DJLSDecoderRegistration::registerCodecs();
    DcmRLEDecoderRegistration::registerCodecs();
    qRegisterMetaType<dicom::ImagePtr>("dicom::ImagePtr");
  });
}

DcmtkToolkit::~DcmtkToolkit() = default;

std::unique_ptr<Query> DcmtkToolkit::newQuery(const Peer& archive, const StationIdentity& station) {
  return makeQuery(timeouts_, archive, station);
}

std::unique_ptr<StorageReceiver> DcmtkToolkit::newReceiver() {
  return makeReceiver(timeouts_);
}

}  // namespace dicom::dcmtk

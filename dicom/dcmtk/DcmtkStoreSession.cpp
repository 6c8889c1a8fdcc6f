// The stores of an update on one association (StoreSession), each made off
// the calling thread while it waits, as Image::send() makes one.

#include <memory>

#include "DcmtkImage.h"
#include "DcmtkNet.h"
#include "dicom/core/BlockingCall.h"

namespace dicom::dcmtk {
namespace {

class DcmtkStoreSession : public StoreSession {
 public:
  explicit DcmtkStoreSession(const Timeouts& timeouts) : channel_(timeouts) {}

  void expect(const Image& image) override {
    if (const auto* own = dynamic_cast<const DcmtkImage*>(&image)) channel_.expect(own->file());
  }

  void send(Image& image, const Peer& archive, const StationIdentity& station) override {
    auto* own = dynamic_cast<DcmtkImage*>(&image);
    if (own == nullptr) return image.send(archive, station);
    own->sendCopy([&](DcmFileFormat& copy) { channel_.store(copy, archive, station); });
  }

  void end() override {
    try {
      runOffThread([&] { channel_.release(); }, kCallStackBytes);
    } catch (...) {
      channel_.release();  // no thread for it: released here
    }
  }

 private:
  StoreChannel channel_;
};

}  // namespace

std::unique_ptr<StoreSession> makeStoreSession(const Timeouts& timeouts) {
  return std::make_unique<DcmtkStoreSession>(timeouts);
}

}  // namespace dicom::dcmtk

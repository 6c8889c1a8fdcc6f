#pragma once

#include <memory>

#include "Image.h"
#include "Peer.h"
#include "Query.h"
#include "StorageReceiver.h"

namespace dicom {

// Stores of several images on one association, as an update sends them: the
// association opens at the first send and carries every later one, each a
// store of its own with its own limits, confirmed before send() returns.
// An archive, a station or a kind of image the open association was not
// made for opens a new one, and so does a send after the open association
// has stood idle for a while (a peer may drop an idle association).
class StoreSession {
 public:
  virtual ~StoreSession() = default;
  // An image the session will send: the association, when it opens, offers
  // the image's kind (SOP class and transfer syntax) too.
  virtual void expect(const Image& image) = 0;
  // Stores the image as Image::send() does, with the same outcomes, on the
  // session's association. A failed store ends the association.
  virtual void send(Image& image, const Peer& archive, const StationIdentity& station) = 0;
  // Releases the association (bounded; never raises). Done also when the
  // session goes, which aborts an association still open.
  virtual void end() = 0;
};

// The factory of the DICOM layer. The program holds one; only the
// composition root knows which concrete toolkit it is.
class Toolkit {
 public:
  virtual ~Toolkit() = default;

  // A find or move on the archive, on behalf of the station.
  virtual std::unique_ptr<Query> newQuery(const Peer& archive, const StationIdentity& station) = 0;
  virtual std::unique_ptr<StorageReceiver> newReceiver() = 0;
  virtual std::unique_ptr<StoreSession> newStoreSession() = 0;
};

}  // namespace dicom

#pragma once

// The receiver's way out: accepted objects are decoded for display by a few
// threads while the next ones arrive, and every result, with the refusals
// and the ends of associations among them, is handed on in the order it was
// given, from a dispatcher thread of its own.

#include <QSize>
#include <QString>
#include <QThread>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "DcmtkToolkit.h"
#include "dicom/core/Image.h"

class DcmFileFormat;

namespace dicom::dcmtk {

struct Delivery {
  enum class Kind { Image, Object, Closed, Refused };
  Kind kind = Kind::Closed;
  std::uint64_t generation = 0;  // the retrieval it belongs to
  ImagePtr image;                // Image
  bool delivered = false;        // Closed: the association delivered objects of its generation
  QString description;           // Refused: the sender, the object, the status and the reason
  QString senderAETitle;         // Refused
  QString senderAddress;         // Refused
};

// Decodes one accepted object for display at the target size. An object
// with pixel data that cannot be decoded is still delivered, with its
// reason, so that the operator sees that the study holds an image that
// cannot be shown; one without pixel data is delivered as an Object.
Delivery decodeForDisplay(std::unique_ptr<DcmFileFormat> file, bool hasPixelData,
                          const Timeouts& timeouts, std::uint64_t generation, const QSize& target);

class OrderedDelivery {
 public:
  using Work = std::function<Delivery()>;
  // Called on the dispatcher thread, once per result, in order.
  using Handler = std::function<void(Delivery)>;

  OrderedDelivery(int decoders, Handler handler);
  ~OrderedDelivery();
  OrderedDelivery(const OrderedDelivery&) = delete;
  OrderedDelivery& operator=(const OrderedDelivery&) = delete;

  // A result that needs no work, in its place.
  void push(Delivery ready);
  // A result the decoders make, in its place.
  void submit(Work work);
  // Hands on everything given so far, then ends the threads; returns when
  // they have ended. Nothing may be given after it.
  void close();

 private:
  struct Slot {
    Work work;
    std::optional<Delivery> result;
    bool done = false;
  };
  void enqueue(std::shared_ptr<Slot> slot, bool work);
  void decode();
  void dispatch();

  Handler handler_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::shared_ptr<Slot>> order_;  // every result, in order
  std::deque<std::shared_ptr<Slot>> work_;   // those still to be made
  bool closing_ = false;
  std::vector<std::unique_ptr<QThread>> threads_;
};

}  // namespace dicom::dcmtk

#include "DcmtkDelivery.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcxfer.h>

#include "DcmtkImage.h"
#include "DcmtkRender.h"
#include "DcmtkThread.h"

namespace dicom::dcmtk {

Delivery decodeForDisplay(std::unique_ptr<DcmFileFormat> file, bool hasPixelData,
                          const Timeouts& timeouts, std::uint64_t retrieval, const QSize& target) {
  Delivery delivery;
  delivery.retrieval = retrieval;
  if (!hasPixelData) {
    delivery.kind = Delivery::Kind::Object;
    return delivery;
  }
  QImage picture;
  QString problem;
  try {
    DcmDataset& dataset = *file->getDataset();
    picture = renderForDisplay(dataset, target, arrivalLongSide(target, dataset));
  } catch (const std::exception& e) {
    problem = QString::fromUtf8(e.what());
  }
  if (picture.isNull() && problem.isEmpty()) problem = "its pixel data cannot be decoded";
  // Decoded: the compressed fragments leave memory for a file of our own,
  // from which a store sends them as they came.
  std::unique_ptr<SpoolFile> spool;
  if (DcmXfer(file->getDataset()->getOriginalXfer()).isEncapsulated()) {
    spool = SpoolFile::keep(file);
  }
  auto image = std::make_shared<DcmtkImage>(std::move(file), timeouts);
  image->keepSpool(std::move(spool));
  image->setDisplayImage(std::move(picture));
  image->setDisplayProblem(problem);
  delivery.kind = Delivery::Kind::Image;
  delivery.image = std::move(image);
  return delivery;
}

OrderedDelivery::OrderedDelivery(int decoders, Handler handler) : handler_(std::move(handler)) {
  for (int i = 0; i < std::max(1, decoders); ++i)
    threads_.push_back(startThread([this] { decode(); }));
  threads_.push_back(startThread([this] { dispatch(); }));
}

OrderedDelivery::~OrderedDelivery() {
  close();
}

void OrderedDelivery::push(Delivery ready) {
  auto slot = std::make_shared<Slot>();
  slot->result = std::move(ready);
  slot->done = true;
  enqueue(std::move(slot), false);
}

void OrderedDelivery::submit(Work work) {
  auto slot = std::make_shared<Slot>();
  slot->work = std::move(work);
  enqueue(std::move(slot), true);
}

void OrderedDelivery::enqueue(std::shared_ptr<Slot> slot, bool work) {
  {
    std::lock_guard lock(mutex_);
    if (work) work_.push_back(slot);
    order_.push_back(std::move(slot));
  }
  changed_.notify_all();
}

void OrderedDelivery::close() {
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
  }
  changed_.notify_all();
  for (auto& thread : threads_) thread->wait();
  threads_.clear();
}

void OrderedDelivery::decode() {
  for (;;) {
    std::shared_ptr<Slot> slot;
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [this] { return closing_ || !work_.empty(); });
      if (work_.empty()) return;
      slot = std::move(work_.front());
      work_.pop_front();
    }
    std::optional<Delivery> result;
    try {
      result = slot->work();
    } catch (const std::exception& e) {
      qWarning("A received object was lost while decoding: %s", e.what());
    } catch (...) {
      qWarning("A received object was lost while decoding.");
    }
    {
      std::lock_guard lock(mutex_);
      slot->result = std::move(result);
      slot->work = nullptr;
      slot->done = true;
    }
    changed_.notify_all();
  }
}

void OrderedDelivery::dispatch() {
  for (;;) {
    std::shared_ptr<Slot> slot;
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [this] {
        return (!order_.empty() && order_.front()->done) || (closing_ && order_.empty());
      });
      if (order_.empty()) return;
      slot = std::move(order_.front());
      order_.pop_front();
    }
    if (slot->result) handler_(std::move(*slot->result));
  }
}

}  // namespace dicom::dcmtk

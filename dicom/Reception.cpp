#include "Reception.h"

#include "Toolkit.h"

namespace dicom {

Reception::Reception(Toolkit& toolkit, QObject* parent) : QObject(parent), toolkit_(toolkit) {}

Reception::~Reception() {
  stopListening();
}

void Reception::listen(std::int32_t port) {
  if (!receiver_) {
    receiver_ = toolkit_.newReceiver();
    connect(receiver_.get(), &StorageReceiver::imageReceived, this, &Reception::onImageReceived);
    connect(receiver_.get(), &StorageReceiver::associationClosed, this, [this] {
      if (toolkit_.configuration().value("DisableAssociationClosed", 0) != 0) return;
      emit associationClosed();
    });
  }
  receiver_->listen(port, localAET_);
}

void Reception::stopListening() {
  if (receiver_) receiver_->stop();
}

void Reception::setOption(int id, bool value) {
  if (id == OptionKeepReceived) keepReceived_ = value;
  if (id == OptionRedrawEachImage) redrawEachImage_ = value;
}

bool Reception::option(int id) const {
  if (id == OptionKeepReceived) return keepReceived_;
  if (id == OptionRedrawEachImage) return redrawEachImage_;
  return false;
}

void Reception::onImageReceived(const ImagePtr& image) {
  if (!keepReceived_ || !image) return;
  images_.blockSignals(!redrawEachImage_);
  images_.append(image);
  images_.blockSignals(false);
  emit imageReceived();
}

}  // namespace dicom

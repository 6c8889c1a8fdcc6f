#include "Reception.h"

#include "DicomError.h"
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
    connect(receiver_.get(), &StorageReceiver::objectRefused, this, &Reception::receptionProblem);
  }
  if (!displayTarget_.isEmpty()) receiver_->setDisplayTarget(displayTarget_);
  receiver_->listen(port, localAET_);
}

void Reception::stopListening() {
  if (receiver_) receiver_->stop();
}

std::int32_t Reception::port() const {
  return receiver_ ? receiver_->port() : 0;
}

void Reception::expectStudy(const QString& studyInstanceUID) {
  if (receiver_) receiver_->expectStudy(studyInstanceUID);
}

std::uint64_t Reception::bytesReceived() const {
  return receiver_ ? receiver_->bytesReceived() : 0;
}

void Reception::beginProbe(const QStringList& sopInstanceUIDs) {
  if (receiver_) receiver_->beginProbe(sopInstanceUIDs);
}

std::map<QString, QStringList> Reception::endProbe() {
  return receiver_ ? receiver_->endProbe() : std::map<QString, QStringList>{};
}

void Reception::setDisplayTarget(const QSize& size) {
  displayTarget_ = size;
  if (receiver_) receiver_->setDisplayTarget(size);
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
  if (!image->displayProblem().isEmpty()) {
    emit receptionProblem(
        OwnError::InvalidObject,
        QString("The retrieval received image %1 (position %2), which cannot be displayed: %3.")
            .arg(image->attribute(0x0008, 0x0018).defaultValue())
            .arg(images_.count())
            .arg(image->displayProblem()));
  }
}

}  // namespace dicom

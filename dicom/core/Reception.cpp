#include "Reception.h"

#include "DicomError.h"
#include "Toolkit.h"

namespace dicom {

Reception::Reception(Toolkit& toolkit, QObject* parent) : QObject(parent), toolkit_(toolkit) {}

Reception::~Reception() {
  stopListening();
}

void Reception::listen(const StationIdentity& station) {
  if (!receiver_) {
    receiver_ = toolkit_.newReceiver();
    connect(receiver_.get(), &StorageReceiver::imageReceived, this, &Reception::onImageReceived);
    connect(receiver_.get(), &StorageReceiver::associationClosed, this,
            &Reception::associationClosed);
    connect(receiver_.get(), &StorageReceiver::objectRefused, this, &Reception::objectRefused);
  }
  if (!displayTarget_.isEmpty()) receiver_->setDisplayTarget(displayTarget_);
  receiver_->listen(station);
}

void Reception::stopListening() {
  if (receiver_) receiver_->stop();
}

std::int32_t Reception::port() const {
  return receiver_ ? receiver_->port() : 0;
}

void Reception::expectStudy(const QString& studyInstanceUID, const Peer& archive) {
  if (receiver_) receiver_->expectStudy(studyInstanceUID, archive);
}

void Reception::endRetrieval(const QString& studyInstanceUID) {
  if (receiver_) receiver_->endRetrieval(studyInstanceUID);
}

std::uint64_t Reception::bytesReceived() const {
  return receiver_ ? receiver_->bytesReceived() : 0;
}

void Reception::beginProbe(const QStringList& sopInstanceUIDs, const std::vector<Tag>& attributes,
                           const Peer& archive) {
  if (receiver_) receiver_->beginProbe(sopInstanceUIDs, attributes, archive);
}

std::map<QString, std::vector<DataSet>> Reception::endProbe() {
  return receiver_ ? receiver_->endProbe() : std::map<QString, std::vector<DataSet>>{};
}

void Reception::setDisplayTarget(const QSize& size) {
  displayTarget_ = size;
  if (receiver_) receiver_->setDisplayTarget(size);
}

void Reception::setOption(ReceptionOption option, bool value) {
  (option == ReceptionOption::KeepReceived ? keepReceived_ : redrawEachImage_) = value;
}

bool Reception::option(ReceptionOption option) const {
  return option == ReceptionOption::KeepReceived ? keepReceived_ : redrawEachImage_;
}

void Reception::onImageReceived(const ImagePtr& image) {
  if (!keepReceived_ || !image) return;
  int position = images_.count() + 1;
  while (order_ && position > 1 && order_(*image, *images_.item(position - 1))) --position;
  images_.blockSignals(!redrawEachImage_);
  images_.insert(position, image);
  images_.blockSignals(false);
  emit imageReceived();
  if (!image->displayProblem().isEmpty()) {
    emit receptionProblem(
        OwnError::InvalidObject,
        QString("The retrieval received image %1 (position %2), which cannot be displayed: %3.")
            .arg(image->attribute(tags::SOPInstanceUID).defaultValue())
            .arg(position)
            .arg(image->displayProblem()));
  }
}

}  // namespace dicom

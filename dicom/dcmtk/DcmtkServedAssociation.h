#pragma once

// Serving one association at the receiver: the negotiation, the command
// loop (C-ECHO, C-STORE), and one store, from its command to its response.
// Whether an object is taken is the study guard's say; what is taken goes
// to the ordered delivery.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/dimse.h>

#include <QSize>
#include <QString>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "DcmtkDelivery.h"
#include "DcmtkReceiverLimits.h"
#include "DcmtkStudyGuard.h"
#include "DcmtkToolkit.h"

namespace dicom::dcmtk {

class ObjectIntake;
class Watchdog;

// What serving an association takes from the receiver around it.
struct ServiceContext {
  Timeouts timeouts;
  ReceiverLimits limits;
  StudyGuard& guard;
  OrderedDelivery& delivery;
  std::function<QString()> ownTitle;     // the station's AE title, as it is now
  std::function<QSize()> displayTarget;  // the size received pictures are drawn at
  const std::atomic<bool>& stopping;     // the receiver is stopping
};

class ServedAssociation {
 public:
  // Takes an association whose request has been received.
  ServedAssociation(T_ASC_Association* assoc, StudyGuard::Opening opening,
                    const ServiceContext& context);
  ~ServedAssociation();
  ServedAssociation(const ServedAssociation&) = delete;
  ServedAssociation& operator=(const ServedAssociation&) = delete;

  // Negotiates, then serves the commands until the peer releases or aborts
  // the association, a limit ends it or the receiver stops. Nothing a peer
  // sends raises. When the association was accepted, its end is delivered
  // after every object it carried.
  void run();
  // Closes the connection (waiting briefly for the peer after a release)
  // and frees the association; the destructor does it when not done.
  void close();

 private:
  bool negotiate();
  bool converse(Watchdog& watchdog);
  OFCondition store(T_ASC_PresentationContextID context, T_DIMSE_C_StoreRQ& request,
                    Watchdog& watchdog);
  OFCondition receiveDataSet(T_ASC_PresentationContextID context, ObjectIntake& intake, bool counts,
                             Watchdog& watchdog);
  void commit(ObjectIntake& intake, const std::string& sopInstanceUID);
  OFCondition respond(T_ASC_PresentationContextID context, T_DIMSE_C_StoreRQ& request,
                      ObjectIntake& intake);
  void handOver(ObjectIntake& intake, const std::string& sopInstanceUID);
  void reportRefusal(const T_DIMSE_C_StoreRQ& request, std::uint16_t status, const QString& reason);
  void countProgress(const ObjectIntake& intake);

  T_ASC_Association* assoc_;
  StudyGuard::Opening opening_;
  const ServiceContext& context_;
  bool released_ = false;
  bool delivered_ = false;     // objects of its retrieval went to the delivery
  bool counts_ = false;        // the current object's bytes are progress
  std::uint64_t counted_ = 0;  // of the current object's bytes, those counted
};

}  // namespace dicom::dcmtk

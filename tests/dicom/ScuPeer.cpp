#include "ScuPeer.h"

#include <arpa/inet.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/dimse.h>
#include <dcmtk/dcmnet/diutil.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace scutest {
namespace {

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  return address;
}

// Binds a loopback socket to a port the kernel chooses; returns the socket.
int bindLoopback(int& port) {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  if (s < 0) throw std::runtime_error("socket() failed");
  sockaddr_in address = loopback(0);
  if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(s);
    throw std::runtime_error("bind() failed");
  }
  socklen_t length = sizeof address;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
  port = ntohs(address.sin_port);
  return s;
}

const char* const kQuerySOPClasses[] = {
    UID_FINDStudyRootQueryRetrieveInformationModel,
    UID_MOVEStudyRootQueryRetrieveInformationModel,
};

}  // namespace

int closedPort() {
  int port = 0;
  ::close(bindLoopback(port));
  return port;
}

RecordingPeer::RecordingPeer(PeerBehaviour behaviour) : behaviour_(std::move(behaviour)) {
  if (behaviour_.storageSyntaxes.empty()) {
    behaviour_.storageSyntaxes = {UID_LittleEndianExplicitTransferSyntax,
                                  UID_LittleEndianImplicitTransferSyntax};
  }
  // DCMTK binds the port itself: take one the kernel just handed out, and
  // try again in the unlikely case someone else took it meanwhile.
  for (int attempt = 0; attempt < 20 && network_ == nullptr; ++attempt) {
    port_ = closedPort();
    if (ASC_initializeNetwork(NET_ACCEPTOR, port_, 5, &network_).bad()) network_ = nullptr;
  }
  if (network_ == nullptr) throw std::runtime_error("the recording peer cannot listen");
  thread_ = std::thread([this] { run(); });
}

RecordingPeer::~RecordingPeer() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  // Wakes the accept loop at once instead of at its next poll: a connection
  // that closes before saying anything.
  const int wake = ::socket(AF_INET, SOCK_STREAM, 0);
  if (wake >= 0) {
    sockaddr_in address = loopback(port_);
    ::connect(wake, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::close(wake);
  }
  if (thread_.joinable()) thread_.join();
  ASC_dropNetwork(&network_);
}

PeerRecord RecordingPeer::record() const {
  std::lock_guard lock(mutex_);
  return record_;
}

bool RecordingPeer::waitForEnd(int associations, int milliseconds) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(milliseconds),
                           [&] { return ended_ >= associations; });
}

void RecordingPeer::run() {
  while (!stop_) {
    T_ASC_Association* association = nullptr;
    const OFCondition cond = ASC_receiveAssociation(network_, &association, ASC_DEFAULTMAXPDU,
                                                    nullptr, nullptr, OFFalse, DUL_NOBLOCK, 1);
    if (cond.good()) {
      serve(association);
    } else if (association != nullptr) {
      ASC_dropSCPAssociation(association);
    }
    if (association != nullptr) ASC_destroyAssociation(&association);
  }
}

void RecordingPeer::serve(T_ASC_Association* association) {
  {
    std::lock_guard lock(mutex_);
    ++record_.associations;
    record_.callingAE = association->params->DULparams.callingAPTitle;
    record_.calledAE = association->params->DULparams.calledAPTitle;
    record_.released = false;
  }
  auto finish = [&](bool released) {
    ASC_dropSCPAssociation(association);
    std::lock_guard lock(mutex_);
    record_.released = released;
    ++ended_;
    changed_.notify_all();
  };

  if (behaviour_.aeTitle != association->params->DULparams.calledAPTitle) {
    T_ASC_RejectParameters reject{ASC_RESULT_REJECTEDPERMANENT, ASC_SOURCE_SERVICEUSER,
                                  ASC_REASON_SU_CALLEDAETITLENOTRECOGNIZED};
    ASC_rejectAssociation(association, &reject);
    finish(false);
    return;
  }
  const char* const uncompressed[] = {UID_LittleEndianExplicitTransferSyntax,
                                      UID_LittleEndianImplicitTransferSyntax};
  ASC_acceptContextsWithPreferredTransferSyntaxes(association->params,
                                                  const_cast<const char**>(kQuerySOPClasses), 2,
                                                  const_cast<const char**>(uncompressed), 2);
  std::vector<const char*> storage;
  for (const std::string& syntax : behaviour_.storageSyntaxes) storage.push_back(syntax.c_str());
  ASC_acceptContextsWithPreferredTransferSyntaxes(association->params, dcmAllStorageSOPClassUIDs,
                                                  numberOfDcmAllStorageSOPClassUIDs, storage.data(),
                                                  static_cast<int>(storage.size()));
  if (ASC_acknowledgeAssociation(association).bad()) {
    finish(false);
    return;
  }

  while (true) {
    T_ASC_PresentationContextID presID = 0;
    T_DIMSE_Message message{};
    OFCondition cond =
        DIMSE_receiveCommand(association, DIMSE_NONBLOCKING, 1, &presID, &message, nullptr);
    if (cond == DIMSE_NODATAAVAILABLE) {
      if (stop_) break;
      continue;
    }
    if (cond == DUL_PEERREQUESTEDRELEASE) {
      if (behaviour_.ignoreRelease) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return stop_.load(); });
        lock.unlock();
        break;
      }
      ASC_acknowledgeRelease(association);
      finish(true);
      return;
    }
    if (cond.bad()) break;

    DcmDataset* received = nullptr;
    if (DIMSE_receiveDataSetInMemory(association, DIMSE_NONBLOCKING, 10, &presID, &received,
                                     nullptr, nullptr)
            .bad()) {
      break;
    }
    std::shared_ptr<DcmDataset> data(received);
    T_ASC_PresentationContext pc;
    ASC_findAcceptedPresentationContext(association->params, presID, &pc);

    if (message.CommandField == DIMSE_C_FIND_RQ) {
      const T_DIMSE_C_FindRQ& request = message.msg.CFindRQ;
      {
        std::lock_guard lock(mutex_);
        record_.findIdentifier = data;
        record_.findSOPClass = request.AffectedSOPClassUID;
      }
      if (behaviour_.silent) continue;  // until the caller gives up and aborts
      for (const auto& match : behaviour_.findMatches) {
        T_DIMSE_C_FindRSP response{};
        response.DimseStatus = STATUS_Pending;
        DIMSE_sendFindResponse(association, presID, &request, &response, match.get(), nullptr);
      }
      T_DIMSE_C_FindRSP response{};
      response.DimseStatus = behaviour_.findStatus;
      DIMSE_sendFindResponse(association, presID, &request, &response, nullptr, nullptr);
    } else if (message.CommandField == DIMSE_C_STORE_RQ) {
      const T_DIMSE_C_StoreRQ& request = message.msg.CStoreRQ;
      {
        std::lock_guard lock(mutex_);
        record_.stored = data;
        record_.storedSyntax = pc.acceptedTransferSyntax;
        record_.storedSOPClass = request.AffectedSOPClassUID;
        record_.storedSOPInstance = request.AffectedSOPInstanceUID;
      }
      if (behaviour_.silent) continue;  // until the caller gives up and aborts
      T_DIMSE_C_StoreRSP response{};
      response.DimseStatus = behaviour_.storeStatus;
      DcmDataset detail;
      if (!behaviour_.storeErrorComment.empty()) {
        detail.putAndInsertString(DCM_ErrorComment, behaviour_.storeErrorComment.c_str());
      }
      DIMSE_sendStoreResponse(association, presID, &request, &response,
                              behaviour_.storeErrorComment.empty() ? nullptr : &detail);
    } else if (message.CommandField == DIMSE_C_MOVE_RQ) {
      const T_DIMSE_C_MoveRQ& request = message.msg.CMoveRQ;
      {
        std::lock_guard lock(mutex_);
        record_.moveIdentifier = data;
      }
      if (behaviour_.silent) continue;  // until the caller gives up and aborts
      T_DIMSE_C_MoveRSP response{};
      response.DimseStatus = behaviour_.moveStatus;
      response.NumberOfRemainingSubOperations = 0;
      response.NumberOfCompletedSubOperations = static_cast<DIC_US>(behaviour_.moveCompleted);
      response.NumberOfFailedSubOperations = static_cast<DIC_US>(behaviour_.moveFailed);
      response.NumberOfWarningSubOperations = static_cast<DIC_US>(behaviour_.moveWarning);
      response.opts = O_MOVE_NUMBEROFCOMPLETEDSUBOPERATIONS | O_MOVE_NUMBEROFFAILEDSUBOPERATIONS |
                      O_MOVE_NUMBEROFWARNINGSUBOPERATIONS;
      DcmDataset failed;
      const bool withList = !behaviour_.moveFailedUIDs.empty();
      if (withList) {
        failed.putAndInsertString(DCM_FailedSOPInstanceUIDList, behaviour_.moveFailedUIDs.c_str());
      }
      DIMSE_sendMoveResponse(association, presID, &request, &response, withList ? &failed : nullptr,
                             nullptr);
    } else {
      break;
    }
  }
  ASC_abortAssociation(association);
  finish(false);
}

}  // namespace scutest

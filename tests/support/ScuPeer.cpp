#include "ScuPeer.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/diutil.h>
#include <dcmtk/dcmnet/dul.h>

#include <QTcpServer>
#include <QTcpSocket>
#include <algorithm>
#include <chrono>
#include <stdexcept>

#include "RawBytes.h"

namespace scutest {
namespace {

using rawbytes::header;
using rawbytes::nested;
using rawbytes::put;

std::string us(std::uint16_t element, std::uint16_t value) {
  return header(0x0000, element, 2) + put(value, 2);
}

// The response command set to a find, move or store request (the three
// begin alike, with the message ID and SOP class it repeats): a success, or
// a pending find response announcing a match; extra follows the command elements.
std::string responseCommand(const T_DIMSE_Message& request, bool pendingMatch,
                            const std::string& extra) {
  const T_DIMSE_C_FindRQ& common = request.msg.CFindRQ;
  std::string uid = common.AffectedSOPClassUID;
  if (uid.size() % 2 != 0) uid.push_back('\0');
  std::string body =
      header(0x0000, 0x0002, static_cast<std::uint32_t>(uid.size())) + uid +
      us(0x0100, static_cast<std::uint16_t>(request.CommandField | 0x8000)) +  // its -RSP
      us(0x0120, common.MessageID) + us(0x0800, pendingMatch ? 0x0000 : 0x0101) +
      us(0x0900, pendingMatch ? 0xFF00 : 0x0000);
  return header(0x0000, 0x0000, 4) + put(static_cast<std::uint32_t>(body.size()), 4) + body + extra;
}

// Sends bytes as PDVs of one kind, each in a P-DATA-TF the peer can take.
bool sendRaw(T_ASC_Association* association, T_ASC_PresentationContextID presID, bool command,
             const std::string& bytes) {
  const std::size_t most = association->sendPDVLength > 0 ? association->sendPDVLength : 16000;
  std::string copy = bytes;  // DCMTK takes the data as non-const
  for (std::size_t at = 0; at < copy.size(); at += most) {
    const auto length = static_cast<Uint32>(std::min(most, copy.size() - at));
    DUL_PDV pdv{length, presID, command ? DUL_COMMANDPDV : DUL_DATASETPDV,
                at + length >= copy.size() ? OFTrue : OFFalse, copy.data() + at};
    DUL_PDVLIST list{1, nullptr, 0, {}, &pdv};
    if (DUL_WritePDVs(&association->DULassociation, &list).bad()) return false;
  }
  return true;
}

}  // namespace

int closedPort() {
  QTcpServer server;
  if (!server.listen(QHostAddress::LocalHost)) throw std::runtime_error("no loopback port");
  return server.serverPort();
}

RecordingPeer::RecordingPeer(PeerBehaviour behaviour) : behaviour_(std::move(behaviour)) {
  // DCMTK binds the port itself: a port just free, again if it was taken.
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
  QTcpSocket wake;  // wakes the accept loop at once: a connection without a word
  wake.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port_));
  wake.waitForConnected(1000);
  wake.abort();
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

bool RecordingPeer::stopsWithin(int seconds) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::seconds(seconds), [this] { return stop_.load(); });
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
  const auto& params = association->params->DULparams;
  {
    std::lock_guard lock(mutex_);
    ++record_.associations;
    record_.callingAE = params.callingAPTitle;
    record_.calledAE = params.calledAPTitle;
    record_.released = false;
  }
  auto finish = [&](bool released) {
    ASC_dropSCPAssociation(association);
    std::lock_guard lock(mutex_);
    record_.released = released;
    ++ended_;
    changed_.notify_all();
  };
  if (std::string("PEER") != params.calledAPTitle) {
    T_ASC_RejectParameters reject{ASC_RESULT_REJECTEDPERMANENT, ASC_SOURCE_SERVICEUSER,
                                  ASC_REASON_SU_CALLEDAETITLENOTRECOGNIZED};
    ASC_rejectAssociation(association, &reject);
    return finish(false);
  }
  const char* services[] = {UID_FINDStudyRootQueryRetrieveInformationModel,
                            UID_MOVEStudyRootQueryRetrieveInformationModel,
                            UID_VerificationSOPClass};
  const char* syntaxes[] = {UID_LittleEndianExplicitTransferSyntax,
                            UID_LittleEndianImplicitTransferSyntax};
  ASC_acceptContextsWithPreferredTransferSyntaxes(association->params, services, 3, syntaxes, 2);
  ASC_acceptContextsWithPreferredTransferSyntaxes(association->params, dcmAllStorageSOPClassUIDs,
                                                  numberOfDcmAllStorageSOPClassUIDs, syntaxes, 2);
  if (ASC_acknowledgeAssociation(association).bad()) return finish(false);
  if (behaviour_.deaf) stopsWithin(3600);

  while (true) {
    T_ASC_PresentationContextID presID = 0;
    T_DIMSE_Message message{};
    const OFCondition cond =
        DIMSE_receiveCommand(association, DIMSE_NONBLOCKING, 1, &presID, &message, nullptr);
    if (cond == DIMSE_NODATAAVAILABLE) {
      if (stop_) break;
      continue;
    }
    if (cond.good() && message.CommandField == DIMSE_C_ECHO_RQ) {  // answered with success
      DIMSE_sendEchoResponse(association, presID, &message.msg.CEchoRQ, STATUS_Success, nullptr);
      continue;
    }
    if (cond.good() && message.CommandField == DIMSE_C_CANCEL_RQ) {  // it comes without data
      std::lock_guard lock(mutex_);
      record_.cancelled = true;
      continue;
    }
    if (cond == DUL_PEERREQUESTEDRELEASE) {
      if (behaviour_.ignoreRelease) {
        stopsWithin(3600);
        break;
      }
      ASC_acknowledgeRelease(association);
      return finish(true);
    }
    DcmDataset* received = nullptr;
    if (cond.bad() || DIMSE_receiveDataSetInMemory(association, DIMSE_NONBLOCKING, 10, &presID,
                                                   &received, nullptr, nullptr)
                          .bad()) {
      break;
    }
    const std::shared_ptr<DcmDataset> data(received);
    const auto command = message.CommandField;
    {
      std::lock_guard lock(mutex_);
      if (command == DIMSE_C_FIND_RQ) record_.findIdentifier = data;
      if (command == DIMSE_C_MOVE_RQ) record_.moveIdentifier = data;
      if (command == DIMSE_C_STORE_RQ) record_.stored = data;
    }
    if (command != DIMSE_C_FIND_RQ && command != DIMSE_C_MOVE_RQ && command != DIMSE_C_STORE_RQ) {
      break;
    }
    if (behaviour_.abort) break;
    // A silent peer keeps the request until the caller gives up and aborts.
    if (!behaviour_.silent && !answerHostile(association, presID, message)) {
      answer(association, presID, message);
    }
  }
  ASC_abortAssociation(association);
  finish(false);
}

bool RecordingPeer::answerHostile(T_ASC_Association* association,
                                  T_ASC_PresentationContextID presID,
                                  const T_DIMSE_Message& message) {
  if (behaviour_.deepCommand > 0) {
    sendRaw(association, presID, true,
            responseCommand(message, false, nested(behaviour_.deepCommand, false)));
    return true;
  }
  if (message.CommandField != DIMSE_C_FIND_RQ ||
      (behaviour_.deepMatch == 0 && behaviour_.hugeMatch == 0)) {
    return false;
  }
  // The identifier in the accepted syntax: explicit little endian is what
  // the client proposes first, and what the peer prefers.
  std::string match = behaviour_.deepMatch > 0 ? nested(behaviour_.deepMatch, true) : "";
  if (behaviour_.hugeMatch > 0) {
    match += header(0x0009, 0x1010, static_cast<std::uint32_t>(behaviour_.hugeMatch), "OB");
    match.append(behaviour_.hugeMatch, '\0');
  }
  if (sendRaw(association, presID, true, responseCommand(message, true, "")) &&
      sendRaw(association, presID, false, match)) {
    sendRaw(association, presID, true, responseCommand(message, false, ""));
  }
  return true;
}

void RecordingPeer::answer(T_ASC_Association* association, T_ASC_PresentationContextID presID,
                           T_DIMSE_Message& message) {
  if (message.CommandField == DIMSE_C_FIND_RQ) {
    T_DIMSE_C_FindRSP response{};
    const auto send = [&](std::uint16_t status, DcmDataset* identifier) {
      response.DimseStatus = status;
      return DIMSE_sendFindResponse(association, presID, &message.msg.CFindRQ, &response,
                                    identifier, nullptr)
          .good();
    };
    for (const auto& match : behaviour_.findMatches) send(STATUS_Pending, match.get());
    for (int i = 0; i < behaviour_.pacedPendings && !stopsWithin(1); ++i) {
      if (!send(STATUS_Pending, behaviour_.findMatches.front().get())) return;
    }
    send(behaviour_.status, nullptr);
  } else if (message.CommandField == DIMSE_C_STORE_RQ) {
    T_DIMSE_C_StoreRSP response{};
    response.DimseStatus = behaviour_.status;
    DcmDataset detail;
    detail.putAndInsertString(DCM_ErrorComment, behaviour_.storeErrorComment.c_str());
    DIMSE_sendStoreResponse(association, presID, &message.msg.CStoreRQ, &response,
                            behaviour_.storeErrorComment.empty() ? nullptr : &detail);
  } else {
    T_DIMSE_C_MoveRSP response{};
    response.opts = O_MOVE_NUMBEROFCOMPLETEDSUBOPERATIONS | O_MOVE_NUMBEROFFAILEDSUBOPERATIONS |
                    O_MOVE_NUMBEROFWARNINGSUBOPERATIONS;
    const auto send = [&](std::uint16_t status, int completed, DcmDataset* identifiers) {
      response.DimseStatus = status;
      response.NumberOfCompletedSubOperations = static_cast<DIC_US>(completed);
      return DIMSE_sendMoveResponse(association, presID, &message.msg.CMoveRQ, &response,
                                    identifiers, nullptr)
          .good();
    };
    for (int i = 0; i < behaviour_.pacedPendings && !stopsWithin(1); ++i) {
      if (!send(STATUS_Pending, std::min(i + 1, behaviour_.risingUpTo), nullptr)) return;
    }
    response.NumberOfFailedSubOperations = static_cast<DIC_US>(behaviour_.moveFailed);
    response.NumberOfWarningSubOperations = static_cast<DIC_US>(behaviour_.moveWarning);
    DcmDataset failed;
    failed.putAndInsertString(DCM_FailedSOPInstanceUIDList, behaviour_.moveFailedUIDs.c_str());
    send(behaviour_.status, behaviour_.moveCompleted,
         behaviour_.moveFailedUIDs.empty() ? nullptr : &failed);
  }
}

}  // namespace scutest

#pragma once

// Reading DIMSE messages from a peer that is not trusted, on both sides of
// the station: the receiver's command loop and the client's responses.
//
// DCMTK's own receive calls hand every byte straight to its parser, which
// descends recursively into sequences and believes declared lengths: a
// command set or a find response nested a hundred thousand levels deep
// would end the station on the thread that parses it. These read PDV by
// PDV, let the stream scanner look at the bytes first, and let DCMTK parse
// only what stays within the limits. Objects stored on the station go
// through ObjectIntake instead, which adds what the receiver needs.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcistrmb.h>
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/dimse.h>
#include <dcmtk/dcmnet/dul.h>

#include <QString>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "DcmtkStreamScanner.h"

namespace dicom::dcmtk {

// What a message may hold before it is parsed.
struct MessageLimits {
  // A command set is small and flat: it holds no sequences at all.
  int commandDepth = 0;
  std::uint64_t commandBytes = 64u * 1024;
  // A data set that comes with a command and is not an image: a find's
  // match, a move's list of failed instances.
  int dataSetDepth = 64;
  std::uint64_t dataSetBytes = 16u * 1024 * 1024;
};

// Parses one data set as its bytes arrive, every chunk scanned before the
// parser sees it.
class ScannedDataSet {
 public:
  ScannedDataSet(E_TransferSyntax xfer, int maxDepth, std::uint64_t maxBytes);
  ScannedDataSet(const ScannedDataSet&) = delete;
  ScannedDataSet& operator=(const ScannedDataSet&) = delete;

  // The next bytes; last marks the end. False once the data set went
  // beyond a limit or cannot be parsed; problem() then says why, and later
  // bytes are ignored.
  bool feed(const void* data, std::size_t size, bool last);
  const QString& problem() const { return problem_; }
  // The complete data set; null before the last bytes or after a problem.
  std::unique_ptr<DcmDataset> take();

 private:
  E_TransferSyntax xfer_;
  std::uint64_t maxBytes_;
  std::uint64_t bytes_ = 0;
  StreamScanner scanner_;
  DcmInputBufferStream buffer_;
  std::unique_ptr<DcmDataset> dataset_;
  bool complete_ = false;
  QString problem_;
};

// Called with the size of every PDV that arrives: the caller's progress.
using PdvSeen = std::function<void(std::size_t bytes)>;

// The next PDV of the association, reading the next P-DATA-TF when the
// current one is used up, waiting at most timeoutSeconds for it. A release
// request or an abort of the peer comes back as DCMTK reports it
// (DUL_PEERREQUESTEDRELEASE, DUL_PEERABORTEDASSOCIATION).
OFCondition nextPDV(T_ASC_Association* assoc, DUL_PDV& pdv, int timeoutSeconds);

// One command as received.
struct Command {
  T_DIMSE_Message message{};
  T_ASC_PresentationContextID context = 0;
  // The whole command set as read: the status detail of a response (its
  // Error Comment) is in it.
  std::unique_ptr<DcmDataset> set;
};

// Receives the next command set, scans it, parses it. A command set that
// goes beyond the limits, that cannot be parsed, or that is not a command
// the station takes part in returns DIMSE_PARSEFAILED with the reason in
// problem: the association cannot go on. Network failures and timeouts
// return DCMTK's condition.
OFCondition receiveCommand(T_ASC_Association* assoc, int timeoutSeconds,
                           const MessageLimits& limits, Command& command, QString& problem,
                           const PdvSeen& seen = {});

// Receives the data set that follows a command on its presentation
// context, scanned before it is parsed; DIMSE_PARSEFAILED with the reason
// in problem when it goes beyond the limits or cannot be parsed.
OFCondition receiveDataSet(T_ASC_Association* assoc, T_ASC_PresentationContextID context,
                           int timeoutSeconds, const MessageLimits& limits,
                           std::unique_ptr<DcmDataset>& dataSet, QString& problem,
                           const PdvSeen& seen = {});

// Parses a command set into DCMTK's message: the requests and responses of
// C-ECHO, C-STORE, C-FIND and C-MOVE, and C-CANCEL. False, with the reason,
// for any other command or one without its mandatory fields.
bool parseCommand(DcmDataset& set, T_DIMSE_Message& message, QString& problem);

}  // namespace dicom::dcmtk

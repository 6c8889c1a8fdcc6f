// Reading DIMSE messages from an untrusted peer; see DcmtkDimse.h.

#include "DcmtkDimse.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcxfer.h>
#include <dcmtk/ofstd/ofstd.h>

#include <algorithm>

namespace dicom::dcmtk {
namespace {

constexpr Uint16 kNoDataSet = 0x0101;

// Reads the fields of a command set, remembering the first mandatory one
// that is missing or malformed.
class Fields {
 public:
  explicit Fields(DcmDataset& set) : set_(set) {}

  DIC_US number(const DcmTagKey& key, const char* name) {
    Uint16 value = 0;
    if (set_.findAndGetUint16(key, value).bad()) fail(name);
    return value;
  }
  bool optionalNumber(const DcmTagKey& key, DIC_US& value) {
    Uint16 read = 0;
    if (set_.findAndGetUint16(key, read).bad()) return false;
    value = read;
    return true;
  }
  // A UID or AE title into DCMTK's fixed buffer; padding removed. One that
  // does not fit is malformed, never cut short.
  template <std::size_t N>
  bool text(const DcmTagKey& key, const char* name, char (&out)[N], bool mandatory = true) {
    out[0] = '\0';
    OFString value;
    if (set_.findAndGetOFString(key, value).bad()) {
      if (mandatory) fail(name);
      return false;
    }
    std::size_t end = value.size();
    while (end > 0 && (value[end - 1] == ' ' || value[end - 1] == '\0')) --end;
    value.erase(end);
    if (value.size() >= N) {
      fail(name);
      return false;
    }
    OFStandard::strlcpy(out, value.c_str(), N);
    return true;
  }
  T_DIMSE_Priority priority() {
    DIC_US value = DIMSE_PRIORITY_MEDIUM;
    optionalNumber(DCM_Priority, value);
    return static_cast<T_DIMSE_Priority>(value);
  }
  const QString& missing() const { return missing_; }

 private:
  void fail(const char* name) {
    if (missing_.isEmpty()) missing_ = QString::fromLatin1(name);
  }
  DcmDataset& set_;
  QString missing_;
};

void parseStore(Fields& f, T_DIMSE_Message& m, T_DIMSE_DataSetType data) {
  if (m.CommandField == DIMSE_C_STORE_RQ) {
    T_DIMSE_C_StoreRQ& r = m.msg.CStoreRQ;
    r.MessageID = f.number(DCM_MessageID, "Message ID");
    f.text(DCM_AffectedSOPClassUID, "Affected SOP Class UID", r.AffectedSOPClassUID);
    f.text(DCM_AffectedSOPInstanceUID, "Affected SOP Instance UID", r.AffectedSOPInstanceUID);
    r.Priority = f.priority();
    r.DataSetType = data;
    if (f.text(DCM_MoveOriginatorApplicationEntityTitle, "Move Originator AE Title",
               r.MoveOriginatorApplicationEntityTitle, false)) {
      r.opts |= O_STORE_MOVEORIGINATORAETITLE;
    }
    if (f.optionalNumber(DCM_MoveOriginatorMessageID, r.MoveOriginatorID)) {
      r.opts |= O_STORE_MOVEORIGINATORID;
    }
    return;
  }
  T_DIMSE_C_StoreRSP& r = m.msg.CStoreRSP;
  r.MessageIDBeingRespondedTo = f.number(DCM_MessageIDBeingRespondedTo,
                                         "Message ID Being "
                                         "Responded To");
  r.DimseStatus = f.number(DCM_Status, "Status");
  r.DataSetType = data;
  if (f.text(DCM_AffectedSOPClassUID, "Affected SOP Class UID", r.AffectedSOPClassUID, false)) {
    r.opts |= O_STORE_AFFECTEDSOPCLASSUID;
  }
  if (f.text(DCM_AffectedSOPInstanceUID, "Affected SOP Instance UID", r.AffectedSOPInstanceUID,
             false)) {
    r.opts |= O_STORE_AFFECTEDSOPINSTANCEUID;
  }
}

void parseEchoOrFind(Fields& f, T_DIMSE_Message& m, T_DIMSE_DataSetType data) {
  switch (m.CommandField) {
    case DIMSE_C_ECHO_RQ:
      m.msg.CEchoRQ.MessageID = f.number(DCM_MessageID, "Message ID");
      f.text(DCM_AffectedSOPClassUID, "Affected SOP Class UID", m.msg.CEchoRQ.AffectedSOPClassUID);
      m.msg.CEchoRQ.DataSetType = data;
      break;
    case DIMSE_C_ECHO_RSP:
      m.msg.CEchoRSP.MessageIDBeingRespondedTo =
          f.number(DCM_MessageIDBeingRespondedTo, "Message ID Being Responded To");
      m.msg.CEchoRSP.DimseStatus = f.number(DCM_Status, "Status");
      m.msg.CEchoRSP.DataSetType = data;
      if (f.text(DCM_AffectedSOPClassUID, "Affected SOP Class UID",
                 m.msg.CEchoRSP.AffectedSOPClassUID, false)) {
        m.msg.CEchoRSP.opts |= O_ECHO_AFFECTEDSOPCLASSUID;
      }
      break;
    case DIMSE_C_FIND_RQ:
      m.msg.CFindRQ.MessageID = f.number(DCM_MessageID, "Message ID");
      f.text(DCM_AffectedSOPClassUID, "Affected SOP Class UID", m.msg.CFindRQ.AffectedSOPClassUID);
      m.msg.CFindRQ.Priority = f.priority();
      m.msg.CFindRQ.DataSetType = data;
      break;
    default:  // DIMSE_C_FIND_RSP
      m.msg.CFindRSP.MessageIDBeingRespondedTo =
          f.number(DCM_MessageIDBeingRespondedTo, "Message ID Being Responded To");
      m.msg.CFindRSP.DimseStatus = f.number(DCM_Status, "Status");
      m.msg.CFindRSP.DataSetType = data;
      if (f.text(DCM_AffectedSOPClassUID, "Affected SOP Class UID",
                 m.msg.CFindRSP.AffectedSOPClassUID, false)) {
        m.msg.CFindRSP.opts |= O_FIND_AFFECTEDSOPCLASSUID;
      }
      break;
  }
}

void parseMoveResponse(Fields& f, T_DIMSE_C_MoveRSP& r, T_DIMSE_DataSetType data) {
  r.MessageIDBeingRespondedTo =
      f.number(DCM_MessageIDBeingRespondedTo, "Message ID Being Responded To");
  r.DimseStatus = f.number(DCM_Status, "Status");
  r.DataSetType = data;
  if (f.text(DCM_AffectedSOPClassUID, "Affected SOP Class UID", r.AffectedSOPClassUID, false)) {
    r.opts |= O_MOVE_AFFECTEDSOPCLASSUID;
  }
  const std::pair<DcmTagKey, std::pair<DIC_US*, unsigned>> counts[] = {
      {DCM_NumberOfRemainingSuboperations,
       {&r.NumberOfRemainingSubOperations, O_MOVE_NUMBEROFREMAININGSUBOPERATIONS}},
      {DCM_NumberOfCompletedSuboperations,
       {&r.NumberOfCompletedSubOperations, O_MOVE_NUMBEROFCOMPLETEDSUBOPERATIONS}},
      {DCM_NumberOfFailedSuboperations,
       {&r.NumberOfFailedSubOperations, O_MOVE_NUMBEROFFAILEDSUBOPERATIONS}},
      {DCM_NumberOfWarningSuboperations,
       {&r.NumberOfWarningSubOperations, O_MOVE_NUMBEROFWARNINGSUBOPERATIONS}},
  };
  for (const auto& [key, field] : counts) {
    if (f.optionalNumber(key, *field.first)) r.opts |= field.second;
  }
}

void parseMoveOrCancel(Fields& f, T_DIMSE_Message& m, T_DIMSE_DataSetType data) {
  if (m.CommandField == DIMSE_C_MOVE_RQ) {
    T_DIMSE_C_MoveRQ& r = m.msg.CMoveRQ;
    r.MessageID = f.number(DCM_MessageID, "Message ID");
    f.text(DCM_AffectedSOPClassUID, "Affected SOP Class UID", r.AffectedSOPClassUID);
    r.Priority = f.priority();
    r.DataSetType = data;
    f.text(DCM_MoveDestination, "Move Destination", r.MoveDestination);
  } else if (m.CommandField == DIMSE_C_MOVE_RSP) {
    parseMoveResponse(f, m.msg.CMoveRSP, data);
  } else {
    m.msg.CCancelRQ.MessageIDBeingRespondedTo =
        f.number(DCM_MessageIDBeingRespondedTo, "Message ID Being Responded To");
    m.msg.CCancelRQ.DataSetType = data;
  }
}

QString hex(unsigned value) {
  return QString("0x%1").arg(value, 4, 16, QChar('0'));
}

}  // namespace

// ---------------------------------------------------------------------------
// ScannedDataSet

ScannedDataSet::ScannedDataSet(E_TransferSyntax xfer, int maxDepth, std::uint64_t maxBytes)
    : xfer_(xfer),
      maxBytes_(maxBytes),
      scanner_(xfer, {maxDepth, maxBytes}),
      dataset_(std::make_unique<DcmDataset>()) {
  dataset_->transferInit();
}

bool ScannedDataSet::feed(const void* data, std::size_t size, bool last) {
  if (!problem_.isEmpty() || complete_) return problem_.isEmpty();
  bytes_ += size;
  if (bytes_ > maxBytes_) {
    problem_ = QString("it is larger than %1 bytes").arg(maxBytes_);
  } else {
    problem_ = scanner_.feed(static_cast<const std::uint8_t*>(data), size);
  }
  if (!problem_.isEmpty()) {
    dataset_.reset();
    return false;
  }
  if (size > 0) buffer_.setBuffer(data, static_cast<offile_off_t>(size));
  if (last) buffer_.setEos();
  const OFCondition read = dataset_->read(buffer_, xfer_, EGL_noChange);
  // What the parser has not taken yet is copied aside while the network's
  // buffer still holds it.
  buffer_.releaseBuffer();
  if (read.bad() && read != EC_StreamNotifyClient) {
    problem_ = QString("it cannot be parsed (%1)").arg(read.text());
    dataset_.reset();
    return false;
  }
  if (last) {
    dataset_->transferEnd();
    complete_ = true;
  }
  return true;
}

std::unique_ptr<DcmDataset> ScannedDataSet::take() {
  return complete_ && problem_.isEmpty() ? std::move(dataset_) : nullptr;
}

// ---------------------------------------------------------------------------
// Reading from the association

OFCondition nextPDV(T_ASC_Association* assoc, DUL_PDV& pdv, int timeoutSeconds) {
  OFCondition cond = DUL_NextPDV(&assoc->DULassociation, &pdv);
  if (cond.good()) return cond;
  cond = DUL_ReadPDVs(&assoc->DULassociation, nullptr, DUL_NOBLOCK, std::max(1, timeoutSeconds));
  // DCMTK reports a P-DATA that arrived as a condition of its own.
  if (cond.bad() && cond != DUL_PDATAPDUARRIVED) return cond;
  return DUL_NextPDV(&assoc->DULassociation, &pdv);
}

namespace {

OFCondition refused(QString& problem, const QString& reason) {
  problem = reason;
  return DIMSE_PARSEFAILED;
}

// Reads the PDVs of one command or data set into the parser; context is
// the presentation context the PDVs must carry (0: that of the first).
OFCondition readPDVs(T_ASC_Association* assoc, int timeoutSeconds, DUL_DATAPDV type,
                     T_ASC_PresentationContextID& context, ScannedDataSet& parser, QString& problem,
                     const PdvSeen& seen) {
  for (bool last = false; !last;) {
    DUL_PDV pdv;
    const OFCondition cond = nextPDV(assoc, pdv, timeoutSeconds);
    if (cond.bad()) return cond;
    if (pdv.pdvType != type) {
      return refused(problem, type == DUL_COMMANDPDV ? "a data set came where a command was due"
                                                     : "a command came where a data set was due");
    }
    if (context == 0) context = pdv.presentationContextID;
    if (pdv.presentationContextID != context) {
      return refused(problem, "its parts came on different presentation contexts");
    }
    if (pdv.fragmentLength % 2 != 0) return refused(problem, "it came in a fragment of odd length");
    last = pdv.lastPDV;
    if (seen) seen(pdv.fragmentLength);
    if (!parser.feed(pdv.data, pdv.fragmentLength, last)) return refused(problem, parser.problem());
  }
  return EC_Normal;
}

}  // namespace

OFCondition receiveCommand(T_ASC_Association* assoc, int timeoutSeconds,
                           const MessageLimits& limits, Command& command, QString& problem,
                           const PdvSeen& seen) {
  problem.clear();
  command = Command{};
  // Command sets are always implicit VR little endian.
  ScannedDataSet parser(EXS_LittleEndianImplicit, limits.commandDepth, limits.commandBytes);
  T_ASC_PresentationContextID context = 0;
  const OFCondition cond =
      readPDVs(assoc, timeoutSeconds, DUL_COMMANDPDV, context, parser, problem, seen);
  if (cond.bad()) {
    if (!problem.isEmpty()) problem = "the command set " + problem;
    return cond;
  }
  T_ASC_PresentationContext accepted;
  if (ASC_findAcceptedPresentationContext(assoc->params, context, &accepted).bad()) {
    return refused(problem, QString("the command came on presentation context %1, which was "
                                    "not accepted")
                                .arg(context));
  }
  command.set = parser.take();
  command.context = context;
  if (!parseCommand(*command.set, command.message, problem)) return DIMSE_PARSEFAILED;
  return EC_Normal;
}

OFCondition receiveDataSet(T_ASC_Association* assoc, T_ASC_PresentationContextID context,
                           int timeoutSeconds, const MessageLimits& limits,
                           std::unique_ptr<DcmDataset>& dataSet, QString& problem,
                           const PdvSeen& seen) {
  problem.clear();
  dataSet.reset();
  T_ASC_PresentationContext accepted;
  if (ASC_findAcceptedPresentationContext(assoc->params, context, &accepted).bad()) {
    return refused(problem, "its presentation context was not accepted");
  }
  ScannedDataSet parser(DcmXfer(accepted.acceptedTransferSyntax).getXfer(), limits.dataSetDepth,
                        limits.dataSetBytes);
  const OFCondition cond =
      readPDVs(assoc, timeoutSeconds, DUL_DATASETPDV, context, parser, problem, seen);
  if (cond.bad()) {
    if (!problem.isEmpty()) problem = "the data set " + problem;
    return cond;
  }
  dataSet = parser.take();
  return EC_Normal;
}

bool parseCommand(DcmDataset& set, T_DIMSE_Message& message, QString& problem) {
  message = T_DIMSE_Message{};
  Fields fields(set);
  const DIC_US field = fields.number(DCM_CommandField, "Command Field");
  const DIC_US dataSetType = fields.number(DCM_CommandDataSetType, "Command Data Set Type");
  if (!fields.missing().isEmpty()) {
    problem = QString("the command set has no valid %1").arg(fields.missing());
    return false;
  }
  message.CommandField = static_cast<T_DIMSE_Command>(field);
  const T_DIMSE_DataSetType data =
      dataSetType == kNoDataSet ? DIMSE_DATASET_NULL : DIMSE_DATASET_PRESENT;
  switch (field) {
    case DIMSE_C_STORE_RQ:
    case DIMSE_C_STORE_RSP:
      parseStore(fields, message, data);
      break;
    case DIMSE_C_ECHO_RQ:
    case DIMSE_C_ECHO_RSP:
    case DIMSE_C_FIND_RQ:
    case DIMSE_C_FIND_RSP:
      parseEchoOrFind(fields, message, data);
      break;
    case DIMSE_C_MOVE_RQ:
    case DIMSE_C_MOVE_RSP:
    case DIMSE_C_CANCEL_RQ:
      parseMoveOrCancel(fields, message, data);
      break;
    default:
      problem = QString("the command %1 is not one the station takes part in").arg(hex(field));
      return false;
  }
  if (!fields.missing().isEmpty()) {
    problem = QString("the command %1 has no valid %2").arg(hex(field), fields.missing());
    return false;
  }
  return true;
}

}  // namespace dicom::dcmtk

#pragma once

#include <QString>
#include <cstdint>
#include <exception>
#include <string>

namespace dicom {

// The one error type the DICOM layer raises. Every failure carries a 32-bit
// number and a description; the number tells where the failure came from:
//
//   0x00000001 .. 0x0000FFFF  a DIMSE status sent by the peer (for example
//                             0xA700 out of resources, 0xC000 unable to
//                             process, 0xB000 sub-operations failed).
//   0x01MMCCCC                a DCMTK condition: MM is the DCMTK module
//                             (0x06 DUL, 0x02 DIMSE, 0x03 ASC, ...), CCCC
//                             the condition code within that module.
//   0x02000000 + n            a failure of our own, see OwnError below.
class DicomError : public std::exception {
 public:
  DicomError(std::int32_t number, QString description);

  std::int32_t number() const noexcept { return number_; }
  const QString& description() const noexcept { return description_; }
  const char* what() const noexcept override { return what_.c_str(); }

 private:
  std::int32_t number_;
  QString description_;
  std::string what_;
};

namespace OwnError {
constexpr std::int32_t Base = 0x02000000;
constexpr std::int32_t InvalidArgument = Base + 1;  // a value that cannot be used (port, AE title)
constexpr std::int32_t UnknownHost = Base + 2;      // the address does not resolve
constexpr std::int32_t Timeout = Base + 3;          // the peer did not answer in time
constexpr std::int32_t NoPresentationContext = Base + 4;  // the peer accepts no way to send
constexpr std::int32_t PortInUse = Base + 5;              // the receiving port cannot be bound
constexpr std::int32_t NoSuchImage = Base + 6;            // a position outside the collection
constexpr std::int32_t InvalidObject = Base + 7;          // an object that cannot be used
constexpr std::int32_t AssociationRejected = Base + 8;    // the peer rejected the association
constexpr std::int32_t Internal = Base + 9;               // anything else
constexpr std::int32_t Refused = Base + 10;               // a received object the station refused
constexpr std::int32_t NotApplied = Base + 11;            // the archive did not apply a sent change
constexpr std::int32_t AuditTrail = Base + 12;            // the audit trail cannot be written
constexpr std::int32_t TlsSettings = Base + 13;   // a TLS setting (certificate, key) cannot be used
constexpr std::int32_t TlsHandshake = Base + 14;  // the TLS handshake with the peer failed
constexpr std::int32_t Stopped = Base + 15;       // the station stopped the call itself
}  // namespace OwnError

// The DCMTK condition numbering described above.
constexpr std::int32_t conditionNumber(unsigned module, unsigned code) {
  return static_cast<std::int32_t>(0x01000000u | ((module & 0xFFu) << 16) | (code & 0xFFFFu));
}

// Number and description of any failure that reaches a command's error
// handler: a DicomError keeps its own; any other exception (a setting that
// is not a number, for example) counts as an invalid argument.
struct Failure {
  std::int32_t number;
  QString description;
};
Failure describe(const std::exception& error);

}  // namespace dicom

#include "Version.h"

#include "common/BuildInfo.h"

namespace common {

QString versionNumber() {
  return QStringLiteral(BREVANT_VERSION);
}

QString buildCommit() {
  return QStringLiteral(BREVANT_COMMIT);
}

QString versionAndCommit() {
  return QStringLiteral("%1 (commit %2)").arg(versionNumber(), buildCommit());
}

QString versionText() {
  return QStringLiteral("Brevant ") + versionAndCommit();
}

}  // namespace common

#include "Version.h"

#include "common/BuildInfo.h"

namespace common {

QString versionNumber() {
  return QStringLiteral(BREVANT_VERSION);
}

QString buildCommit() {
  return QStringLiteral(BREVANT_COMMIT);
}

QString versionText() {
  return QStringLiteral("Brevant %1 (commit %2)").arg(versionNumber(), buildCommit());
}

}  // namespace common

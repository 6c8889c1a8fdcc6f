#pragma once

#include <QString>

namespace common {

// The station's version, as the top CMakeLists.txt's project() gives it ("0.2.0").
QString versionNumber();

// The commit the station was built from: seven hex digits, "-modified" after
// them when the tree had uncommitted changes, or "unknown" outside git.
QString buildCommit();

// Both, as the audit trail records them: "0.2.0 (commit abcdef1)".
QString versionAndCommit();

// Both with the name, as the station reports them: "Brevant 0.2.0 (commit abcdef1)".
QString versionText();

}  // namespace common

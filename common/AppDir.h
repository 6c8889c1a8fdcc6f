#pragma once

#include <QString>

namespace common {

// The directory of the executable, as the platform reports it. Settings.ini
// and Logs/ live there.
QString appDirectory();

// A path beside the executable: appDirectory() followed by the platform's
// separator and the relative name ("Settings.ini", "Logs/Error.log").
QString appPath(const QString& relative);

// Points appDirectory() elsewhere, so that tests can use a temporary folder.
// An empty text restores the executable's directory.
void setAppDirectoryForTesting(const QString& directory);

}  // namespace common

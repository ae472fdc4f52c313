#pragma once

#include <QString>

namespace Publish {

// Why a file of this name cannot be published, or an empty string when it can. The launcher
// saves each download under the last segment of its URL as written in the manifest, on
// Windows, so a name must be a valid Windows file name that needs no percent-encoding.
QString nameProblem(const QString &name);

} // namespace Publish

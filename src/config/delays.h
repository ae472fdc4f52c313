#pragma once

// The launcher's deferred steps (hiding the bar after a final status, starting the download
// queue after a manifest was read) wait the given time. The environment variable
// EMBERCREST_DELAY_MS, when set to a number, replaces every such delay; tests and demos use it
// to avoid waiting seconds.
namespace Delays {

int scaled(int milliseconds);

inline int statusHide()
{
    return scaled(5000);
}
inline int queueStart()
{
    return scaled(5000);
}

} // namespace Delays

#include "delays.h"

#include <QtGlobal>

namespace Delays {

int scaled(int milliseconds)
{
    bool ok = false;
    const int overridden = qEnvironmentVariableIntValue("EMBERCREST_DELAY_MS", &ok);
    return ok && overridden >= 0 ? overridden : milliseconds;
}

} // namespace Delays

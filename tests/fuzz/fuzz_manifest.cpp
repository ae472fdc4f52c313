// libFuzzer target for the manifest reading and the download targets of the files it lists.
// Build with -DEMBERCREST_FUZZ=ON and clang; see docs/building.md, "Fuzzing".
#include "manifestinvariants.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input =
        QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    const QStringList problems = manifestInvariantViolations(input);
    if (problems.isEmpty())
        return 0;
    for (const QString &problem : problems)
        std::fprintf(stderr, "invariant broken: %s\n", problem.toUtf8().constData());
    std::abort();
}

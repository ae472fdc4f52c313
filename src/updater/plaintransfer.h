#pragma once

#include "httptransfer.h"

// A file without an integrity entry: one plain GET whose reply alone decides the outcome. No
// retry, no Range, nothing kept beside the target after a failure, as the launcher always did.
class PlainTransfer final : public HttpTransfer
{
    Q_OBJECT

public:
    PlainTransfer(QNetworkAccessManager *network, const PlannedFile &file, StagedFile &output,
                  HashCache &cache, bool integrityRequired, QObject *parent = nullptr);

    bool start() override;

private:
    Problem notModifiedProblem() const override;
};

#pragma once

#include <QProgressBar>

// The bar "LoadProgress". Every text it shows is set whole by the launcher (a state or a file
// name with its percentage), so it paints and reports its format as it stands: QProgressBar
// would turn a "%p", "%v" or "%m" inside a file name into numbers, and has no escape for them.
// No Q_OBJECT: to findChild, the style sheet and the meta-object it is a plain QProgressBar.
class StatusProgressBar : public QProgressBar
{
public:
    using QProgressBar::QProgressBar;

    // What the bar paints: QProgressBar::initStyleOption takes its text from here.
    QString text() const override
    {
        // Keeps QProgressBar's empty text for a bar without a value.
        return QProgressBar::text().isEmpty() ? QString() : format();
    }
};

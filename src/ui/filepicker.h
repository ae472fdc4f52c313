#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>

// The one place that asks the player for a file. By default it shows the system's file dialog;
// tests queue the answers instead, so that no modal dialog ever blocks them.
namespace FilePicker {

// An existing file chosen by the player, or "" when the dialog was cancelled.
QString getOpenFileName(QWidget *parent, const QString &caption, const QString &directory,
                        const QString &filter);

// Where the executable dialogs start: the system drive on Windows, the home folder elsewhere.
QString startDirectory();

// Test seam: the next calls return these answers, in order, without showing a dialog ("" stands
// for a cancelled dialog). Only when no answer is queued does a real dialog appear.
void setNextFileName(const QString &fileName);
void clearNextFileNames();

// What the last call asked for, answered or not.
struct Request
{
    QPointer<QWidget> parent;
    QString caption;
    QString directory;
    QString filter;
};
Request lastRequest();

} // namespace FilePicker

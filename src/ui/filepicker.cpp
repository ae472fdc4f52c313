#include "filepicker.h"

#include <QDir>
#include <QFileDialog>
#include <QQueue>
#include <QWindow>

namespace FilePicker {

namespace {
QQueue<QString> &queuedAnswers()
{
    static QQueue<QString> answers;
    return answers;
}

Request &recordedRequest()
{
    static Request request;
    return request;
}
} // namespace

QString getOpenFileName(QWidget *parent, const QString &caption, const QString &directory,
                        const QString &filter)
{
    recordedRequest() = Request{parent, caption, directory, filter};
    if (!queuedAnswers().isEmpty())
        return queuedAnswers().dequeue();
#ifdef Q_OS_WIN
    return QFileDialog::getOpenFileName(parent, caption, directory, filter);
#else
    // Elsewhere the dialog may be Qt's own widgets, and a child of the window would take on the
    // window's style sheet (white labels on the dialog's light grey). Without a parent it keeps
    // its own look; it still stays above the window and is modal for the whole launcher.
    QFileDialog dialog(nullptr, caption, directory, filter);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setWindowModality(Qt::ApplicationModal);
    if (parent) {
        dialog.winId(); // creates the native window, so it can be tied to the launcher's
        if (dialog.windowHandle() && parent->window()->windowHandle())
            dialog.windowHandle()->setTransientParent(parent->window()->windowHandle());
        dialog.move(parent->window()->geometry().center() - dialog.rect().center());
    }
    if (dialog.exec() != QDialog::Accepted)
        return QString();
    return dialog.selectedFiles().value(0);
#endif
}

QString startDirectory()
{
#ifdef Q_OS_WIN
    return QStringLiteral("C://");
#else
    return QDir::homePath();
#endif
}

void setNextFileName(const QString &fileName)
{
    queuedAnswers().enqueue(fileName);
}

void clearNextFileNames()
{
    queuedAnswers().clear();
}

Request lastRequest()
{
    return recordedRequest();
}

} // namespace FilePicker

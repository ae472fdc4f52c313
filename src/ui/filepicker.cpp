#include "filepicker.h"

#include <QDir>
#include <QFileDialog>
#include <QQueue>

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
    return QFileDialog::getOpenFileName(parent, caption, directory, filter);
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

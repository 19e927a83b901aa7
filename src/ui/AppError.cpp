#include "ui/AppError.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QMessageBox>

std::string ErrorDisplayText(std::string_view message)
{
    std::string text(message);
    // Every byte of a multi-byte UTF-8 character is 0x80 or above, so
    // comparing the last byte as unsigned compares the last character's code
    // with the full stop's.
    if (!text.empty() && static_cast<unsigned char>(text.back()) > '.') {
        text += '.';
    }
    return text;
}

QString ApplicationTitleFromPath(const QString& programPath)
{
    const QString name = QFileInfo(programPath).fileName();
    const qsizetype stop = name.indexOf(QLatin1Char('.'));
    QString title = stop < 0 ? name : name.left(stop);
    if (!title.isEmpty()) {
        // The first letter stays as the file name has it.
        title = title.left(1) + title.mid(1).toLower();
    }
    return title;
}

QString ApplicationTitle()
{
    return ApplicationTitleFromPath(QCoreApplication::applicationFilePath());
}

void ShowApplicationError(std::string_view message)
{
    const std::string text = ErrorDisplayText(message);
    QMessageBox box(QMessageBox::Critical, ApplicationTitle(),
                    QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())),
                    QMessageBox::Ok);
    box.exec();
}

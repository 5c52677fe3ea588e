#include "widgetmessages.h"

#include <QApplication>
#include <QMessageBox>

MessageResult WidgetMessageService::show(const QString& text, const QString& caption,
                                         MessageIcon icon, MessageButtons buttons) {
    QMessageBox::Icon boxIcon = QMessageBox::Information;
    switch (icon) {
    case MessageIcon::Information:
        boxIcon = QMessageBox::Information;
        break;
    case MessageIcon::Warning:
        boxIcon = QMessageBox::Warning;
        break;
    case MessageIcon::Error:
        boxIcon = QMessageBox::Critical;
        break;
    case MessageIcon::Question:
        boxIcon = QMessageBox::Question;
        break;
    }
    const QMessageBox::StandardButtons standard =
        buttons == MessageButtons::YesNo ? QMessageBox::Yes | QMessageBox::No
                                         : QMessageBox::StandardButtons(QMessageBox::Ok);
    QMessageBox box(boxIcon, caption, text, standard, QApplication::activeWindow());
    const int answer = box.exec();
    if (buttons == MessageButtons::YesNo)
        return answer == QMessageBox::Yes ? MessageResult::Yes : MessageResult::No;
    return MessageResult::Ok;
}

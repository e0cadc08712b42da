#include "gui/messageboxes.h"

#include "core/model/outcome.h"
#include "gui/screenfit.h"

#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTextEdit>
#include <QUrl>
#include <algorithm>

using namespace Qt::StringLiterals;

namespace ranupa {

namespace {

// At least `columns` average characters wide, as far as the screen allows.
void widenTo(QWidget& widget, int columns, const QMessageBox& box)
{
    const int wanted = widget.fontMetrics().averageCharWidth() * columns;
    widget.setMinimumWidth(std::min(wanted, roomOnScreen(box).width() * 4 / 5));
}

// A button that does its work and leaves the box open, as OK alone closes it.
QPushButton* addKeepingButton(QMessageBox& box, const QString& text, const QString& name)
{
    QPushButton* button = box.addButton(text, QMessageBox::ActionRole);
    button->setObjectName(name);
    QObject::disconnect(button, &QAbstractButton::clicked, nullptr, nullptr);
    return button;
}

// For whoever is asked for help: the details go whole into a message or a chat, without their box
// being opened and selected.
void addCopyDetailsButton(QMessageBox& box, const QString& details)
{
    QPushButton* copy = addKeepingButton(box, u"Salin rincian"_s, u"copyDetails"_s);
    QObject::connect(copy, &QAbstractButton::clicked, &box, [copy, details] {
        QApplication::clipboard()->setText(details);
        copy->setText(u"Rincian disalin"_s);
    });
}

// The system's file manager shows the folder, for the file to be copied on or checked.
void addOpenFolderButton(QMessageBox& box, const QString& folder)
{
    QPushButton* open = addKeepingButton(box, u"Buka folder"_s, u"openFolder"_s);
    QObject::connect(open, &QAbstractButton::clicked, &box,
                     [folder] { QDesktopServices::openUrl(QUrl::fromLocalFile(folder)); });
}

} // namespace

QString messageTitle()
{
    return QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
}

void widenForReading(QMessageBox& box)
{
    if (auto* summary = box.findChild<QLabel*>(u"qt_msgbox_informativelabel"_s)) {
        widenTo(*summary, 60, box);
    }
    if (auto* details = box.findChild<QTextEdit*>()) {
        widenTo(*details, 90, box);
    }
}

void describeOutcome(QMessageBox& box, const OperationOutcome& outcome)
{
    // The cause and what to do, readable without opening the details.
    QStringList under{outcome.figures, outcome.summary};
    under.removeAll(QString());
    if (!under.isEmpty()) {
        box.setInformativeText(under.join(u'\n'));
    }
    // Paths are shown exactly as they are; nothing in them is markup.
    box.setTextFormat(Qt::PlainText);
    const bool failed = outcome.status == OperationStatus::Failed;
    if (!outcome.details.isEmpty()) {
        box.setDetailedText(outcome.details);
        if (failed) {
            addCopyDetailsButton(box, outcome.details);
        }
    }
    if (!failed && !outcome.backupFolder.isEmpty()) {
        addOpenFolderButton(box, outcome.backupFolder);
    }
}

void keepOkTheDefault(QMessageBox& box)
{
    for (QAbstractButton* button : box.buttons()) {
        auto* pushButton = qobject_cast<QPushButton*>(button);
        if (pushButton != nullptr && box.buttonRole(button) == QMessageBox::ActionRole) {
            pushButton->setAutoDefault(false);
        }
    }
    box.setDefaultButton(QMessageBox::Ok);
}

} // namespace ranupa

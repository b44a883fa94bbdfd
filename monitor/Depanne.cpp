#include "Depanne.h"

#include <QShowEvent>

#include "GroupFrameStyle.h"
#include "Messages.h"
#include "Services.h"
#include "ui_Depanne.h"
#include "velqorin/Frame.h"

using namespace velqorin::monitor;

TDebloqueForm* DebloqueForm = nullptr;

namespace {

constexpr std::size_t kSupportCodeLength = 10;

}  // namespace

TDebloqueForm::TDebloqueForm(QWidget* parent)
    : QDialog(parent, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint),
      ui(std::make_unique<Ui::TDebloqueForm>()) {
    setFont(formFont());
    ui->setupUi(this);
    applyGroupFrameStyle(this);
    setModal(true);
    connect(ui->OkDebloqueBitBtn, &QPushButton::clicked, this, &TDebloqueForm::OkDebloqueBitBtnClick);
    connect(ui->CancelDebloqueBitBtn, &QPushButton::clicked, this, [this] { done(mrCancel); });
}

TDebloqueForm::~TDebloqueForm() {
    if (DebloqueForm == this) DebloqueForm = nullptr;
}

QString TDebloqueForm::Message(int line) const { return memoLine(ui->MemoTrad, line); }

QString TDebloqueForm::SupportCode(const TAnalyseBuffer& record) {
    const std::string_view challenge = velqorin::fieldText(record.challenge);
    const std::string_view code = challenge.substr(0, kSupportCodeLength);
    return QString::fromLatin1(code.data(), static_cast<qsizetype>(code.size()));
}

void TDebloqueForm::showEvent(QShowEvent* event) {
    if (!event->spontaneous()) FormShow();
    QDialog::showEvent(event);
}

void TDebloqueForm::FormShow() {
    if (Box == nullptr) return;
    const std::string_view serial = velqorin::fieldText(Box->storedRecord.serialNumber);
    ui->EditSerie->setText(QString::fromLatin1(serial.data(), static_cast<qsizetype>(serial.size())));
    ui->EditDepanne->setText(SupportCode(Box->storedRecord));
    ui->EditDebloque->clear();
}

void TDebloqueForm::OkDebloqueBitBtnClick() {
    if (Box != nullptr) {
        BusyCursor busy;
        paintPendingNow();
        const QByteArray code = ui->EditDebloque->text().toUtf8();
        const int result = services().effacerMdp(*Box, code.constData());
        if (result == kCommandRefused)
            errorBox(this, Message(0));
        else if (result != kCommandAccepted)
            errorBox(this, Message(1));
    }
    // The main window refreshes after any answer: a new attempt needs the new challenge.
    done(mrOk);
}

void TDebloqueForm::reject() { done(mrCancel); }

void TDebloqueForm::changeEvent(QEvent* event) {
    if (event->type() == QEvent::LanguageChange) ReinitializeForm();
    QDialog::changeEvent(event);
}

void TDebloqueForm::ReinitializeForm() { ui->retranslateUi(this); }

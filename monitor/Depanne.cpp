#include "Depanne.h"

#include <algorithm>
#include <optional>

#include <QLineEdit>
#include <QShowEvent>

#include "Exchange.h"
#include "GroupFrameStyle.h"
#include "Messages.h"
#include "PlainText.h"
#include "Progress.h"
#include "Services.h"
#include "ui_Depanne.h"
#include "velqorin/Frame.h"

using namespace velqorin::monitor;

TDebloqueForm* DebloqueForm = nullptr;

namespace {


// A read-only field whose input limit (from the form) must not cut what the program
// shows in it: the limit is raised to the text's length for as long as it is there.
void showWhole(QLineEdit* edit, const QString& text, int inputLimit) {
    edit->setMaxLength(std::max(inputLimit, static_cast<int>(text.size())));
    edit->setText(text);
}

}  // namespace

TDebloqueForm::TDebloqueForm(QWidget* parent)
    : QDialog(parent, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint),
      ui(std::make_unique<Ui::TDebloqueForm>()) {
    setFont(formFont());
    ui->setupUi(this);
    applyGroupFrameStyle(this);
    showLabelsAsPlainText(this);
    showToolTipsAsPlainText();
    setModal(true);
    serieLimit_ = ui->EditSerie->maxLength();
    depanneLimit_ = ui->EditDepanne->maxLength();
    WaitIndicator = new TWaitIndicator(this);
    connect(ui->OkDebloqueBitBtn, &QPushButton::clicked, this, &TDebloqueForm::OkDebloqueBitBtnClick);
    connect(ui->CancelDebloqueBitBtn, &QPushButton::clicked, this, [this] { done(mrCancel); });
}

TDebloqueForm::~TDebloqueForm() {
    if (DebloqueForm == this) DebloqueForm = nullptr;
}

QString TDebloqueForm::Message(int line) const { return memoLine(ui->MemoTrad, line); }

QString TDebloqueForm::SupportCode(const TAnalyseBuffer& record) {
    const std::string_view challenge = velqorin::fieldText(record.challenge);
    const std::string_view code = challenge.substr(0, velqorin::kSupportCodeLength);
    return QString::fromLatin1(code.data(), static_cast<qsizetype>(code.size()));
}

void TDebloqueForm::showEvent(QShowEvent* event) {
    if (!event->spontaneous()) FormShow();
    QDialog::showEvent(event);
}

void TDebloqueForm::FormShow() {
    if (Box == nullptr) return;
    const std::string_view serial = velqorin::fieldText(Box->storedRecord.serialNumber);
    showWhole(ui->EditSerie, QString::fromLatin1(serial.data(), static_cast<qsizetype>(serial.size())),
              serieLimit_);
    showWhole(ui->EditDepanne, SupportCode(Box->storedRecord), depanneLimit_);
    ui->EditDebloque->clear();
}

void TDebloqueForm::OkDebloqueBitBtnClick() {
    if (exchanges().running()) return;
    if (Box != nullptr) {
        BusyCursor busy;
        CVelqorinBoxOnNetwork& box = *Box;
        const QByteArray code = ui->EditDebloque->text().toUtf8();
        std::optional<int> answer;
        {
            const TDialogWait wait(*this, *WaitIndicator, ui->OkDebloqueBitBtn,
                                   ui->CancelDebloqueBitBtn, tr("Attente de la réponse du boîtier..."));
            answer = exchanges().run(
                [&, command = services().effacerMdp] { return command(box, code.constData()); });
        }
        const int result = answer.value_or(kCommandNoAnswer);
        if (result == kCommandRefused)
            errorBox(this, Message(UnlockMessage::CodeRefused));
        else if (result != kCommandAccepted)
            errorBox(this, Message(UnlockMessage::NetworkError));
    }
    // The main window refreshes after any answer: a new attempt needs the new challenge.
    done(mrOk);
}

void TDebloqueForm::reject() {
    // Neither Escape nor the close button ends the dialog while it waits for its box.
    if (exchanges().running()) return;
    done(mrCancel);
}

void TDebloqueForm::changeEvent(QEvent* event) {
    if (event->type() == QEvent::LanguageChange) ReinitializeForm();
    QDialog::changeEvent(event);
}

void TDebloqueForm::ReinitializeForm() { ui->retranslateUi(this); }

#include "Configure.h"
#include "velqorin/Address.h"

#include <netinet/in.h>

#include <cstring>
#include <optional>

#include <QProxyStyle>
#include <QShowEvent>

#include "Exchange.h"
#include "GroupFrameStyle.h"
#include "Messages.h"
#include "PlainText.h"
#include "Progress.h"
#include "Services.h"
#include "ui_Configure.h"
#include "velqorin/Compatibility.h"
#include "velqorin/Frame.h"

using namespace velqorin::monitor;

TConfigureForm* ConfigureForm = nullptr;

namespace {

// Every character of the password shows as '#'.
class HashPasswordStyle : public QProxyStyle {
public:
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* data) const override {
        if (hint == QStyle::SH_LineEdit_PasswordCharacter) return '#';
        return QProxyStyle::styleHint(hint, option, widget, data);
    }
};

QString dotted(const sockaddr_storage& address) {
    return QString::fromStdString(velqorin::blockText(address));
}

sockaddr_storage socketAddress(const TphIPAddress::Octets& octets) {
    sockaddr_storage storage{};
    auto* in = reinterpret_cast<sockaddr_in*>(&storage);
    in->sin_family = AF_INET;
    std::memcpy(&in->sin_addr, octets.data(), 4);
    return storage;
}

}  // namespace

TConfigureForm::TConfigureForm(QWidget* parent)
    : QDialog(parent, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint),
      ui(std::make_unique<Ui::TConfigureForm>()),
      hashStyle_(std::make_unique<HashPasswordStyle>()) {
    setFont(formFont());
    ui->setupUi(this);
    applyGroupFrameStyle(this);
    showLabelsAsPlainText(this);
    showToolTipsAsPlainText();
    setFixedSize(618, 425);
    setModal(true);
    ui->PasseEdit->setStyle(hashStyle_.get());
    WaitIndicator = new TWaitIndicator(this);
    showVerdict();

    connect(ui->DHCPCheckBox, &QCheckBox::clicked, this, &TConfigureForm::DHCPCheckBoxClick);
    connect(ui->VoisinageCheckBox, &QCheckBox::clicked, this, &TConfigureForm::VoisinageCheckBoxClick);
    for (TphIPAddress* entry : {ui->phIPAddress, ui->phIPAddressMask}) {
        connect(entry, &TphIPAddress::valueChanged, this, &TConfigureForm::DHCPCheckBoxClick);
        connect(entry, &TphIPAddress::fieldChanged, this, &TConfigureForm::phIPAddressFieldChange);
    }
    connect(ui->OkBitBtn, &QPushButton::clicked, this, &TConfigureForm::OkBitBtnClick);
    connect(ui->CancelBitBtn, &QPushButton::clicked, this, [this] { done(mrCancel); });
}

TConfigureForm::~TConfigureForm() {
    if (ConfigureForm == this) ConfigureForm = nullptr;
}

QString TConfigureForm::Message(int line) const { return memoLine(ui->MemoTrad, line); }

QColor TConfigureForm::VerdictColour(int verdict) {
    switch (verdict) {
        case 0: return QColor(0, 128, 0);
        case 1:
        case 2: return QColor(128, 0, 0);
        default: return QColor(255, 0, 0);
    }
}

int TConfigureForm::VerdictLine(int verdict) {
    switch (verdict) {
        case 0: return static_cast<int>(ConfigureMessage::VerdictCompatible);
        case 1: return static_cast<int>(ConfigureMessage::VerdictUseDhcp);
        case 2: return static_cast<int>(ConfigureMessage::VerdictUseFixed);
        case 3: return static_cast<int>(ConfigureMessage::VerdictIncompatible);
        default: return static_cast<int>(ConfigureMessage::VerdictWorkstationAddress);
    }
}

void TConfigureForm::showEvent(QShowEvent* event) {
    if (!event->spontaneous()) FormShow();
    QDialog::showEvent(event);
}

void TConfigureForm::FormShow() {
    if (Box == nullptr) return;
    const TAnalyseBuffer& record = Box->storedRecord;
    ui->phIPAddress->setAddress(record.manualIp);
    ui->phIPAddressMask->setAddress(record.manualMask);
    ui->LabelIP->setText(QString::fromStdString(velqorin::ipText(record.currentIp)));
    ui->LabelMasque->setText(QString::fromStdString(velqorin::ipText(record.currentMask)));
    ui->LabelDHCP->setText(Message(record.addressMode == 1 ? ConfigureMessage::BoxDhcp : ConfigureMessage::BoxFixed));
    ui->LabelVoisinage->setText(Message(record.neighbourhood != 0 ? ConfigureMessage::BoxInNeighbourhood
                                                                 : ConfigureMessage::BoxNotInNeighbourhood));
    ui->DHCPCheckBox->setChecked(record.addressMode == 1);
    ui->VoisinageCheckBox->setChecked(record.neighbourhood != 0);

    if (NetInterface != nullptr) {
        bool dhcp = false, server = false;
        NetInterface->getDhcp(&dhcp, &server);
        ui->LabelDHCPPC->setText(Message(dhcp ? (server ? ConfigureMessage::WorkstationDhcpWithServer
                                                         : ConfigureMessage::WorkstationDhcpNoServer)
                                                : ConfigureMessage::WorkstationFixed));
        const int count = NetInterface->getCountIpAddresses();
        if (count > 0) {
            QStringList addresses, masks;
            for (int i = 0; i < count; ++i) {
                sockaddr_storage address{}, mask{};
                NetInterface->getIpAddress(i, &address, &mask);
                addresses << dotted(address);
                masks << dotted(mask);
            }
            ui->ManuelLabelPCl->setText(addresses.join(QLatin1Char('\n')));
            ui->Manuel2LabelPCl->setText(masks.join(QLatin1Char('\n')));
        } else {
            // Another interface's addresses from an earlier showing would be a lie.
            ui->ManuelLabelPCl->setText(tr("illisible"));
            ui->Manuel2LabelPCl->setText(tr("illisible"));
        }
    } else {
        // Without the interface the box was found on there is nothing to judge against;
        // a verdict of an earlier showing would belong to another box.
        showDesignWorkstationTexts();
        Verdict = 0;
        showVerdict();
    }
    computeVerdict();
    ui->RebootCheckBox->setChecked(false);
    ui->PasseEdit->clear();
    ui->DHCPCheckBox->setFocus();
}

void TConfigureForm::showDesignWorkstationTexts() {
    ui->LabelDHCPPC->setText(tr("Adresse IP otenue par DHCP"));
    ui->ManuelLabelPCl->setText(tr("illisible"));
    ui->Manuel2LabelPCl->setText(tr("illisible"));
}

void TConfigureForm::computeVerdict() {
    if (NetInterface == nullptr) return;
    const auto address = ui->phIPAddress->address();
    const auto mask = ui->phIPAddressMask->address();
    Verdict = static_cast<int>(velqorin::compatibilityVerdict(*NetInterface, address.data(),
                                                               mask.data(),
                                                               ui->DHCPCheckBox->isChecked()));
    showVerdict();
}

void TConfigureForm::showVerdict() {
    ui->LabelCompatible->setText(Message(VerdictLine(Verdict)));
    QPalette palette = ui->LabelCompatible->palette();
    palette.setColor(QPalette::WindowText, VerdictColour(Verdict));
    ui->LabelCompatible->setPalette(palette);
}

void TConfigureForm::DHCPCheckBoxClick() { computeVerdict(); }

void TConfigureForm::phIPAddressFieldChange(int field) {
    static_cast<void>(field);
    computeVerdict();
}

void TConfigureForm::VoisinageCheckBoxClick() {
    // A change of visibility takes effect only once the box has restarted.
    ui->RebootCheckBox->setChecked(true);
}

void TConfigureForm::OkBitBtnClick() {
    if (Box == nullptr || exchanges().running()) return;
    BusyCursor busy;
    CVelqorinBoxOnNetwork& box = *Box;
    const auto address = ui->phIPAddress->address();
    const auto mask = ui->phIPAddressMask->address();
    const bool changed = std::memcmp(address.data(), box.storedRecord.manualIp, 4) != 0;

    if (Verdict != 0 && !questionBox(this, ui->LabelCompatible->text() + Message(ConfigureMessage::GoOn))) return;
    if (changed) {
        const sockaddr_storage target = socketAddress(address);
        std::optional<bool> inUse;
        {
            const TDialogWait wait(*this, *WaitIndicator, ui->OkBitBtn, ui->CancelBitBtn,
                                   tr("Test de l'adresse %1...").arg(dotted(target)));
            inUse = exchanges().run([ping = services().ping, target] { return ping(target); });
        }
        if (inUse.value_or(false) && !questionBox(this, Message(ConfigureMessage::AddressInUse))) return;
    }

    const QByteArray password = ui->PasseEdit->text().toUtf8();
    const bool dhcp = ui->DHCPCheckBox->isChecked();
    const bool neighbourhood = ui->VoisinageCheckBox->isChecked();
    const bool restart = ui->RebootCheckBox->isChecked();
    std::optional<int> answer;
    {
        const TDialogWait wait(*this, *WaitIndicator, ui->OkBitBtn, ui->CancelBitBtn,
                               tr("Attente de la réponse du boîtier..."));
        answer = exchanges().run([&, command = services().configNetwork] {
            return command(box, password.constData(), dhcp, socketAddress(address),
                           socketAddress(mask), neighbourhood, restart);
        });
    }
    const int result = answer.value_or(kCommandNoAnswer);
    if (result == kCommandAccepted) {
        done(mrOk);
        return;
    }
    errorBox(this, Message(result == kCommandRefused ? ConfigureMessage::PasswordRefused
                                                    : ConfigureMessage::NetworkError));
    done(mrAbort);
}

void TConfigureForm::reject() {
    // Neither Escape nor the close button ends the dialog while it waits for its box.
    if (exchanges().running()) return;
    done(mrCancel);
}

void TConfigureForm::changeEvent(QEvent* event) {
    if (event->type() == QEvent::LanguageChange) ReinitializeForm();
    QDialog::changeEvent(event);
}

void TConfigureForm::ReinitializeForm() {
    ui->retranslateUi(this);
    showVerdict();
}

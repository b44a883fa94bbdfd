// The network configuration dialog: what the box and the workstation use now, the new
// settings with their compatibility verdict, and the command that sends them.
#pragma once

#include <memory>

#include <QColor>
#include <QDialog>

#include "Reinit.h"
#include "velqorin/BoxOnNetwork.h"
#include "velqorin/NetworkInterface.h"
#include "Messages.h"

class QStyle;

namespace velqorin::monitor {
class TWaitIndicator;
}

namespace Ui {
class TConfigureForm;
}

class TConfigureForm : public QDialog, public velqorin::monitor::TReinitializable {
    Q_OBJECT

public:
    explicit TConfigureForm(QWidget* parent = nullptr);
    ~TConfigureForm() override;

    std::unique_ptr<Ui::TConfigureForm> ui;
    CVelqorinBoxOnNetwork* Box = nullptr;
    CVelqorinNetworkInterface* NetInterface = nullptr;
    int Verdict = 0;
    // Over the buttons while the dialog waits for the ping or the box's answer.
    velqorin::monitor::TWaitIndicator* WaitIndicator = nullptr;

    QString Message(int line) const;
    QString Message(velqorin::monitor::ConfigureMessage id) const { return Message(static_cast<int>(id)); }
    static QColor VerdictColour(int verdict);
    // The message line that tells verdict `verdict`.
    static int VerdictLine(int verdict);

    void FormShow();
    void DHCPCheckBoxClick();
    void phIPAddressFieldChange(int field);
    void VoisinageCheckBoxClick();
    void OkBitBtnClick();

    void reject() override;
    void ReinitializeForm() override;

protected:
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void computeVerdict();
    void showVerdict();
    void showDesignWorkstationTexts();

    std::unique_ptr<QStyle> hashStyle_;
};

extern TConfigureForm* ConfigureForm;

// The unlock dialog: the box's serial number and support code, and the unlock code that
// clears its administrator password.
#pragma once

#include <memory>

#include <QDialog>
#include <QString>

#include "Reinit.h"
#include "velqorin/BoxOnNetwork.h"
#include "Messages.h"

namespace velqorin::monitor {
class TWaitIndicator;
}

namespace Ui {
class TDebloqueForm;
}

class TDebloqueForm : public QDialog, public velqorin::monitor::TReinitializable {
    Q_OBJECT

public:
    explicit TDebloqueForm(QWidget* parent = nullptr);
    ~TDebloqueForm() override;

    std::unique_ptr<Ui::TDebloqueForm> ui;
    CVelqorinBoxOnNetwork* Box = nullptr;
    // Over the buttons while the dialog waits for the box's answer.
    velqorin::monitor::TWaitIndicator* WaitIndicator = nullptr;

    QString Message(int line) const;
    QString Message(velqorin::monitor::UnlockMessage id) const { return Message(static_cast<int>(id)); }
    // The first 10 characters of the box's challenge, fewer when it is shorter.
    static QString SupportCode(const TAnalyseBuffer& record);

    void FormShow();
    void OkDebloqueBitBtnClick();

    void reject() override;
    void ReinitializeForm() override;

protected:
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    // The forms' input limits of the two read-only fields.
    int serieLimit_ = 0;
    int depanneLimit_ = 0;
};

extern TDebloqueForm* DebloqueForm;

// A four-octet IPv4 entry: four fields of 0 to 255 between dots. Typing a dot or a
// third digit moves on to the next field; a number above 255 becomes 255.
#pragma once

#include <array>
#include <cstdint>

#include <QWidget>

class QLineEdit;

class TphIPAddress : public QWidget {
    Q_OBJECT

public:
    using Octets = std::array<std::uint8_t, 4>;

    explicit TphIPAddress(QWidget* parent = nullptr);

    Octets address() const;
    // Sets all four fields; emits valueChanged once when the value changed.
    void setAddress(const Octets& octets);
    void setAddress(const std::uint8_t* octets);
    int octet(int field) const;
    void setOctet(int field, int value);
    // The field's own edit, for tests and for the focus chain.
    QLineEdit* field(int index) const { return fields_[static_cast<std::size_t>(index)]; }

signals:
    // The whole value changed (by the operator or by setAddress).
    void valueChanged();
    // One field changed by the operator's typing.
    void fieldChanged(int field);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void fieldEdited(int index);

    std::array<QLineEdit*, 4> fields_{};
    bool settingAll_ = false;
};

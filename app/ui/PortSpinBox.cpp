#include "PortSpinBox.h"

#include <QLineEdit>

PortSpinBox::PortSpinBox(QWidget* parent)
    : QSpinBox(parent) {
    setRange(0, 65535);
    setButtonSymbols(QAbstractSpinBox::NoButtons);
    // Ports are no amounts: no "8,080".
    setGroupSeparatorShown(false);
}

void PortSpinBox::setDefaultHint(const QString& hint) {
    lineEdit()->setPlaceholderText(hint);
}

QString PortSpinBox::portText() const {
    return value() == 0 ? QString() : QString::number(value());
}

void PortSpinBox::setPortText(const QString& text) {
    bool ok = false;
    const uint port = text.trimmed().toUInt(&ok);
    setValue(ok && port <= 65535 ? static_cast<int>(port) : 0);
}

QString PortSpinBox::textFromValue(int value) const {
    return value == 0 ? QString() : QString::number(value);
}

int PortSpinBox::valueFromText(const QString& text) const {
    return text.trimmed().toInt();
}

QValidator::State PortSpinBox::validate(QString& text, int& pos) const {
    // The empty field is a complete answer (the default port), not a number still being typed.
    if (text.trimmed().isEmpty())
        return QValidator::Acceptable;
    return QSpinBox::validate(text, pos);
}

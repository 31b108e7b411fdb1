#pragma once

#include <QSpinBox>

// A port number, 1 to 65535, or nothing: empty means the default port, shown greyed as a hint. Digits
// typed anywhere in the field are taken, unlike the masked line edit it replaces, whose placeholders
// swallowed them unless the cursor stood at the start.
class PortSpinBox final : public QSpinBox {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(PortSpinBox)

public:
    explicit PortSpinBox(QWidget* parent = nullptr);

    // What the empty field means, such as "80".
    void setDefaultHint(const QString& hint);
    // The settings' form: the number, or empty for none. A text that is no port gives none.
    QString portText() const;
    void setPortText(const QString& text);

protected:
    QString textFromValue(int value) const override;
    int valueFromText(const QString& text) const override;
    QValidator::State validate(QString& text, int& pos) const override;
};

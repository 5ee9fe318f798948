// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// CIPAddrCtl: the applet's entry control for a dotted IPv4 address. Four small numeric
// fields separated by painted dots; space or "." moves to the next field, three digits move
// on by themselves (after a range check), the arrows cross field borders at the ends, Tab
// leaves the whole control and Enter presses the dialog's default button. Reading the
// address checks that every part is present and below 256.

#include <QFrame>
#include <QString>
#include <array>
#include <cstdint>

class QLineEdit;

class CIPAddrCtl : public QFrame {
    Q_OBJECT
  public:
    explicit CIPAddrCtl(QWidget* parent = nullptr);

    // The result of reading the control: the four parts, and on failure the 1-based number
    // of the first failing field (0 on success).
    struct Address {
        std::array<std::uint8_t, 4> parts{};
        int failingField = 0;
    };

    // Reads the four fields. An empty field or one of 256 or more fails; with showErrors the
    // range or missing-value message is shown. On failure the failing field gets the focus
    // with its text selected.
    bool GetAddress(bool showErrors, Address* address);
    // Shows each part in decimal.
    void SetAddress(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d);
    void SetReadOnly(bool readOnly);
    bool IsReadOnly() const { return readOnly_; }

    // Data exchange with an address text. To the control: parsed as "a.b.c.d" where a part
    // without its dot is 0 and each part keeps its low 8 bits. From the control: the text
    // "%d.%d.%d.%d" on success; false (the message shown, the field focused) on failure.
    void SetText(const QString& text);
    bool GetText(QString* text);

    QLineEdit* Field(int index) const { return fields_[static_cast<std::size_t>(index)]; }

    QSize sizeHint() const override;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void changeEvent(QEvent* event) override;

  private:
    int FieldIndex(QObject* object) const;
    void FocusField(int index);
    void AutoAdvance(int index);
    void LeaveControl(bool backwards);
    void ShowRangeMessage(int value);
    void LayoutFields();

    std::array<QLineEdit*, 4> fields_{};
    std::array<QRect, 3> dots_{};
    bool readOnly_ = false;
};

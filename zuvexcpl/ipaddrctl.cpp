// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#include "zuvexcpl/ipaddrctl.h"

#include <QApplication>
#include <QDialog>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QStyle>
#include <cstdlib>

#include "platform/ui/ui.h"

using namespace dornelui;

namespace {

// The integer a text starts with, as the C library reads it (leading blanks, a sign,
// digits; 0 when there are none).
int IntegerValue(const QString& text) { return std::atoi(text.toLatin1().constData()); }

QString RangeMessage(int value) {
    return QString(
               "%1 is not a valid entry.  Please specify a value between 0 and 255 for "
               "this field.")
        .arg(value);
}

}  // namespace

CIPAddrCtl::CIPAddrCtl(QWidget* parent) : QFrame(parent) {
    setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    setFocusPolicy(Qt::StrongFocus);
    setAutoFillBackground(false);
    setCursor(Qt::IBeamCursor);
    for (int i = 0; i < 4; ++i) {
        auto* field = new QLineEdit(this);
        field->setObjectName(QString("field%1").arg(i + 1));
        field->setMaxLength(3);
        field->setAlignment(Qt::AlignCenter);
        field->setFrame(false);
        // The control is one tab stop; the fields are reached through it.
        field->setFocusPolicy(Qt::ClickFocus);
        field->installEventFilter(this);
        connect(field, &QLineEdit::textEdited, this, [this, i](const QString& text) {
            if (text.size() >= 3) AutoAdvance(i);
        });
        fields_[static_cast<std::size_t>(i)] = field;
    }
    SetAddress(0, 0, 0, 0);
}

QSize CIPAddrCtl::sizeHint() const {
    const QFontMetrics metrics(font());
    const int part = metrics.horizontalAdvance("0000");
    return {4 * part + 3 * metrics.horizontalAdvance('.') + 2 * frameWidth(), metrics.height() + 8};
}

void CIPAddrCtl::LayoutFields() {
    const QRect client = contentsRect();
    const int d = QFontMetrics(font()).horizontalAdvance('.');
    const int f = (client.width() - 3 * d) / 4;
    const int edge = 1;
    for (int k = 0; k < 4; ++k) {
        fields_[static_cast<std::size_t>(k)]->setGeometry(
            client.x() + k * (f + d), client.y() + edge, f, client.height() - edge);
    }
    for (int k = 0; k < 3; ++k) {
        dots_[static_cast<std::size_t>(k)] =
            QRect(client.x() + f + k * (f + d), client.y(), d, client.height());
    }
}

void CIPAddrCtl::resizeEvent(QResizeEvent* event) {
    QFrame::resizeEvent(event);
    LayoutFields();
}

void CIPAddrCtl::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    const bool editable = isEnabled() && !readOnly_;
    painter.fillRect(contentsRect(), palette().color(editable ? QPalette::Base : QPalette::Button));
    painter.setPen(
        palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::Text));
    for (const QRect& dot : dots_) painter.drawText(dot, Qt::AlignHCenter | Qt::AlignBottom, ".");
    painter.end();
    QFrame::paintEvent(event);
}

void CIPAddrCtl::changeEvent(QEvent* event) {
    if (event->type() == QEvent::EnabledChange || event->type() == QEvent::FontChange) {
        for (QLineEdit* field : fields_) {
            field->setFont(font());
        }
        LayoutFields();
        update();
    }
    QFrame::changeEvent(event);
}

void CIPAddrCtl::focusInEvent(QFocusEvent* event) {
    QFrame::focusInEvent(event);
    FocusField(0);
}

void CIPAddrCtl::SetAddress(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
    const std::uint8_t parts[4] = {a, b, c, d};
    for (int i = 0; i < 4; ++i)
        fields_[static_cast<std::size_t>(i)]->setText(QString::number(parts[i]));
}

void CIPAddrCtl::SetReadOnly(bool readOnly) {
    readOnly_ = readOnly;
    for (QLineEdit* field : fields_) field->setReadOnly(readOnly);
    update();
}

void CIPAddrCtl::FocusField(int index) {
    if (index < 0 || index > 3) return;
    QLineEdit* field = fields_[static_cast<std::size_t>(index)];
    field->setFocus(Qt::OtherFocusReason);
    field->selectAll();
}

void CIPAddrCtl::ShowRangeMessage(int value) {
    MessageBox(this, RangeMessage(value), "Error", MB_OK | MB_ICONEXCLAMATION);
}

bool CIPAddrCtl::GetAddress(bool showErrors, Address* address) {
    Address result;
    int failing = 0;
    int value = 0;
    for (int i = 0; i < 4 && failing == 0; ++i) {
        const QString text = fields_[static_cast<std::size_t>(i)]->text();
        value = text.isEmpty() ? -1 : IntegerValue(text);
        if (value < 0 || value >= 256) {
            failing = i + 1;
        } else {
            result.parts[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value);
        }
    }
    if (failing == 0) {
        if (address) *address = result;
        return true;
    }
    if (showErrors) {
        if (value == -1) {
            MessageBox(this, "Missing value in IP address", "Error", MB_OK | MB_ICONEXCLAMATION);
        } else {
            ShowRangeMessage(value);
        }
    }
    FocusField(failing - 1);
    if (address) {
        *address = result;
        address->failingField = failing;
    }
    return false;
}

void CIPAddrCtl::SetText(const QString& text) {
    QString rest = text;
    int parts[4] = {};
    for (int i = 0; i < 3; ++i) {
        const int dot = static_cast<int>(rest.indexOf('.'));
        if (dot >= 0) {
            parts[i] = IntegerValue(rest.left(dot));
            rest = rest.mid(dot + 1);
        } else {
            parts[i] = 0;
        }
    }
    parts[3] = IntegerValue(rest);
    SetAddress(
        static_cast<std::uint8_t>(parts[0] & 0xFF), static_cast<std::uint8_t>(parts[1] & 0xFF),
        static_cast<std::uint8_t>(parts[2] & 0xFF), static_cast<std::uint8_t>(parts[3] & 0xFF));
}

bool CIPAddrCtl::GetText(QString* text) {
    Address address;
    if (!GetAddress(true, &address)) return false;
    if (text) {
        *text = QString("%1.%2.%3.%4")
                    .arg(address.parts[0])
                    .arg(address.parts[1])
                    .arg(address.parts[2])
                    .arg(address.parts[3]);
    }
    return true;
}

int CIPAddrCtl::FieldIndex(QObject* object) const {
    for (int i = 0; i < 4; ++i) {
        if (fields_[static_cast<std::size_t>(i)] == object) return i;
    }
    return -1;
}

void CIPAddrCtl::AutoAdvance(int index) {
    const int value = IntegerValue(fields_[static_cast<std::size_t>(index)]->text());
    if (value > 255) {
        ShowRangeMessage(value);
        FocusField(index);
        return;
    }
    if (index < 3) FocusField(index + 1);
}

void CIPAddrCtl::LeaveControl(bool backwards) {
    // The next (or previous) tab stop of the window that is not part of this control.
    QWidget* w = this;
    for (int guard = 0; guard < 1000; ++guard) {
        w = backwards ? w->previousInFocusChain() : w->nextInFocusChain();
        if (!w || w == this) return;
        if (isAncestorOf(w) || !w->isEnabled() || !w->isVisible()) continue;
        if (!(w->focusPolicy() & Qt::TabFocus)) continue;
        if (w->window() != window()) continue;
        w->setFocus(backwards ? Qt::BacktabFocusReason : Qt::TabFocusReason);
        return;
    }
}

bool CIPAddrCtl::eventFilter(QObject* watched, QEvent* event) {
    const int index = FieldIndex(watched);
    if (index < 0 || event->type() != QEvent::KeyPress) return QFrame::eventFilter(watched, event);
    auto* key = static_cast<QKeyEvent*>(event);
    QLineEdit* field = fields_[static_cast<std::size_t>(index)];

    switch (key->key()) {
        case Qt::Key_Tab:
            LeaveControl(key->modifiers() & Qt::ShiftModifier);
            return true;
        case Qt::Key_Backtab:
            LeaveControl(true);
            return true;
        case Qt::Key_Return:
        case Qt::Key_Enter: {
            // The dialog's default button gets the command.
            for (QWidget* w = parentWidget(); w; w = w->parentWidget()) {
                if (auto* dialog = qobject_cast<QDialog*>(w)) {
                    for (QPushButton* button : dialog->findChildren<QPushButton*>()) {
                        if (button->isDefault() && button->isEnabled()) {
                            button->click();
                            return true;
                        }
                    }
                    return true;
                }
            }
            return true;
        }
        case Qt::Key_Left:
            if (field->cursorPosition() == 0 && !field->hasSelectedText() && index > 0) {
                QLineEdit* previous = fields_[static_cast<std::size_t>(index - 1)];
                previous->setFocus(Qt::OtherFocusReason);
                previous->setCursorPosition(static_cast<int>(previous->text().size()));
                return true;
            }
            return false;
        case Qt::Key_Right:
            if (field->cursorPosition() == field->text().size() && !field->hasSelectedText() &&
                index < 3) {
                QLineEdit* next = fields_[static_cast<std::size_t>(index + 1)];
                next->setFocus(Qt::OtherFocusReason);
                next->setCursorPosition(0);
                return true;
            }
            return false;
        case Qt::Key_Escape:
            return false;  // the dialog's own Cancel handling
        default:
            break;
    }

    const QString text = key->text();
    if (text.isEmpty()) return false;  // other keys: normal editing
    const QChar c = text.at(0);
    if (c == ' ' || c == '.') {
        if (index < 3) FocusField(index + 1);
        return true;
    }
    if ((c >= QChar(u'0') && c <= QChar(u'9')) || c.unicode() < 0x20 || c.unicode() == 0x7F)
        return false;
    if (key->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) return false;
    Beep();
    return true;
}

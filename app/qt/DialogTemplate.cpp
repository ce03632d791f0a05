#include "DialogTemplate.h"

#include <cstdlib>

#include <QComboBox>
#include <QDialog>
#include <QFile>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QIcon>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>

namespace {

QStringList ToStringList(const QJsonValue& value) {
    QStringList list;
    for (const QJsonValue& v : value.toArray()) list.push_back(v.toString());
    return list;
}

// Rounded a * b / c for c > 0, halves away from zero.
int MulDivRound(int a, int b, int c) {
    const long long product = static_cast<long long>(a) * b;
    const long long half = c / 2;
    const long long q = product >= 0 ? (product + half) / c : -((-product + half) / c);
    return static_cast<int>(q);
}

}  // namespace

std::optional<DialogTemplate> ParseDialogTemplate(const QByteArray& json, int id) {
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject()) return std::nullopt;
    for (const QJsonValue& d : doc.object().value("dialogs").toArray()) {
        const QJsonObject o = d.toObject();
        if (o.value("id").toInt() != id) continue;
        DialogTemplate tpl;
        tpl.id = id;
        tpl.units = QSize(o.value("width").toInt(), o.value("height").toInt());
        tpl.caption = o.value("caption").toString();
        const QJsonObject font = o.value("font").toObject();
        tpl.fontFace = font.value("face").toString();
        tpl.fontPoints = font.value("points").toInt(9);
        tpl.styles = ToStringList(o.value("styles"));
        tpl.exStyles = ToStringList(o.value("exStyles"));
        for (const QJsonValue& c : o.value("controls").toArray()) {
            const QJsonObject co = c.toObject();
            DialogControlTemplate control;
            control.id = co.value("id").toInt(-1);
            control.kind = co.value("kind").toString();
            control.text = co.value("text").toString();
            control.units = QRect(co.value("x").toInt(), co.value("y").toInt(),
                                  co.value("width").toInt(), co.value("height").toInt());
            control.styles = ToStringList(co.value("styles"));
            tpl.controls.push_back(control);
        }
        return tpl;
    }
    return std::nullopt;
}

std::optional<DialogTemplate> LoadDialogTemplate(int id) {
    QFile file(QStringLiteral(":/dialogs.json"));
    if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
    return ParseDialogTemplate(file.readAll(), id);
}

QFont DialogFont(const DialogTemplate& tpl) {
    if (!tpl.fontFace.isEmpty() && QFontDatabase::families().contains(tpl.fontFace)) {
        QFont font(tpl.fontFace);
        font.setPointSize(tpl.fontPoints);
        return font;
    }
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setPointSize(tpl.fontPoints);
    return font;
}

DialogBaseUnits BaseUnitsOf(const QFont& font) {
    const QFontMetrics metrics(font);
    const int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return DialogBaseUnits{(letters / 26 + 1) / 2, metrics.height()};
}

int HorizontalUnitsToPixels(int units, const DialogBaseUnits& base) {
    return MulDivRound(units, base.averageCharWidth, 4);
}

int VerticalUnitsToPixels(int units, const DialogBaseUnits& base) {
    return MulDivRound(units, base.charHeight, 8);
}

QRect DialogUnitsToPixels(const QRect& units, const DialogBaseUnits& base) {
    return QRect(HorizontalUnitsToPixels(units.x(), base), VerticalUnitsToPixels(units.y(), base),
                 HorizontalUnitsToPixels(units.width(), base),
                 VerticalUnitsToPixels(units.height(), base));
}

BuiltDialog BuildDialog(QDialog* dialog, const DialogTemplate& tpl, const DialogBaseUnits& base,
                        const QIcon& icon) {
    BuiltDialog built;
    for (const DialogControlTemplate& c : tpl.controls) {
        QRect rect = DialogUnitsToPixels(c.units, base);
        QWidget* widget = nullptr;
        if (c.kind == QLatin1String("button")) {
            auto* button = new QPushButton(c.text, dialog);
            // Like a dialog push button: the focused button takes Enter, otherwise the default one.
            button->setAutoDefault(true);
            button->setDefault(c.HasStyle(QStringLiteral("BS_DEFPUSHBUTTON")));
            widget = button;
        } else if (c.kind == QLatin1String("static")) {
            auto* label = new QLabel(c.text, dialog);
            label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            label->setTextFormat(Qt::PlainText);
            widget = label;
        } else if (c.kind == QLatin1String("combobox")) {
            auto* combo = new QComboBox(dialog);
            combo->setEditable(false);
            combo->setInsertPolicy(QComboBox::NoInsert);
            // The template's height includes the dropped list; the closed box keeps its own height
            // and the rest decides how many entries the list shows.
            const int closed = combo->sizeHint().height();
            const int itemHeight = qMax(1, QFontMetrics(dialog->font()).height());
            combo->setMaxVisibleItems(qMax(1, (rect.height() - closed) / itemHeight));
            rect.setHeight(closed);
            widget = combo;
        } else if (c.kind == QLatin1String("progress")) {
            auto* progress = new QProgressBar(dialog);
            progress->setOrientation(Qt::Horizontal);
            progress->setTextVisible(false);
            widget = progress;
        } else if (c.kind == QLatin1String("edit")) {
            auto* edit = new QLineEdit(c.text, dialog);
            edit->setReadOnly(c.HasStyle(QStringLiteral("ES_READONLY")));
            widget = edit;
        } else if (c.kind == QLatin1String("icon") || c.kind == QLatin1String("picture")) {
            auto* label = new QLabel(dialog);
            if (c.kind == QLatin1String("icon") && !icon.isNull()) {
                const int side = qMin(rect.width(), rect.height());
                label->setPixmap(icon.pixmap(side, side));
                rect.setSize(label->pixmap().deviceIndependentSize().toSize());
            }
            widget = label;
        } else {
            continue;
        }
        widget->setGeometry(rect);
        widget->setFocusPolicy(c.HasStyle(QStringLiteral("WS_TABSTOP")) ? Qt::StrongFocus
                                                                        : Qt::NoFocus);
        widget->setProperty("controlId", c.id);
        built.controls.push_back(widget);
        if (c.id != -1) built.byId.insert(c.id, widget);
    }
    QWidget* previous = nullptr;
    for (QWidget* w : built.controls) {
        if (w->focusPolicy() == Qt::NoFocus) continue;
        if (previous != nullptr) QWidget::setTabOrder(previous, w);
        previous = w;
    }
    built.clientSize = QSize(HorizontalUnitsToPixels(tpl.units.width(), base),
                             VerticalUnitsToPixels(tpl.units.height(), base));
    dialog->setFixedSize(built.clientSize);
    dialog->setWindowTitle(tpl.caption);
    return built;
}
